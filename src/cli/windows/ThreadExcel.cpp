#include "cli/windows/ThreadExcel.h"

#include <windows.h>
#include <objbase.h>

#include <stdexcept>

#include "win32/Error.h"

namespace quorvane::cli {

ThreadExcel::ThreadExcel() {
  // Checked up front: otherwise every workbook would fail the same way.
  CLSID clsid{};
  const HRESULT hr = ::CLSIDFromProgID(L"Excel.Application", &clsid);
  if (FAILED(hr)) {
    throw std::runtime_error("Microsoft Excel cannot be started: Excel.Application is not registered (" +
                             win32::SystemMessage(static_cast<DWORD>(hr)) + ")");
  }
}

EngineFactory ComExcelFactory() {
  return []() -> std::unique_ptr<base::ExcelAutomation> { return std::make_unique<ThreadExcel>(); };
}

}  // namespace quorvane::cli
