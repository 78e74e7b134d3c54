// The test program runs the tests in a COM apartment, unless it was started
// as the process of a stand-in Excel instance.
#include <windows.h>

#include <gtest/gtest.h>

#include "FakeExcelServer.h"
#include "win32/ComExcel.h"

int main(int argc, char** argv) {
  if (const auto child = quorvane::testing::RunIfChildWindow(argc, argv)) return *child;
  ::testing::InitGoogleTest(&argc, argv);
  const quorvane::win32::ComInit com;
  return RUN_ALL_TESTS();
}
