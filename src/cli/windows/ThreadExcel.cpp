#include "cli/windows/ThreadExcel.h"

#include <windows.h>
#include <objbase.h>

#include <stdexcept>

#include "win32/Error.h"

namespace quorvane::cli {

namespace {

win32::ExcelTimes Times(std::chrono::seconds deadline) {
  win32::ExcelTimes times;
  times.calls.deadline = deadline;
  return times;
}

}  // namespace

ThreadExcel::ThreadExcel(std::chrono::seconds deadline) : excel_(Times(deadline), {&obstacleFinder_, &builtin_}) {
  // Checked up front: otherwise every workbook would fail the same way.
  CLSID clsid{};
  const HRESULT hr = ::CLSIDFromProgID(L"Excel.Application", &clsid);
  if (FAILED(hr)) {
    throw std::runtime_error("Microsoft Excel cannot be started: Excel.Application is not registered (" +
                             win32::SystemMessage(static_cast<DWORD>(hr)) + ")");
  }
}

ExcelFactory ComExcelFactory() {
  return [](std::chrono::seconds deadline) -> std::unique_ptr<base::ExcelAutomation> {
    return std::make_unique<ThreadExcel>(deadline);
  };
}

}  // namespace quorvane::cli
