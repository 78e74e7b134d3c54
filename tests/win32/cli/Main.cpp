// The tests run in a COM apartment, where the test automation class is
// registered, unless the program was started as the process of a stand-in
// Excel instance.
#include <gtest/gtest.h>

#include "FakeExcelServer.h"
#include "win32/ComExcel.h"

int main(int argc, char** argv) {
  if (const auto child = quorvane::testing::RunIfChildWindow(argc, argv)) return *child;
  ::testing::InitGoogleTest(&argc, argv);
  const quorvane::win32::ComInit com;
  return RUN_ALL_TESTS();
}
