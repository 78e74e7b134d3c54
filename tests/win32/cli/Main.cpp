// The tests run in a COM apartment, where the test automation class is
// registered.
#include <gtest/gtest.h>

#include "win32/ComExcel.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const quorvane::win32::ComInit com;
  return RUN_ALL_TESTS();
}
