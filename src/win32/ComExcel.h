#pragma once
// base::ExcelAutomation over COM: "Excel.Application" reached by late binding.
// COM must be initialised on the calling thread (ComInit) for as long as any
// object from here is alive, and every object is used on that thread.

#include <chrono>
#include <memory>

#include "base/Excel.h"
#include "win32/InstanceGuard.h"
#include "win32/MessageFilter.h"
#include "win32/Resource.h"

namespace quorvane::win32 {

// Apartment-threaded COM for the lifetime of the object; throws SystemError
// when the thread is already in another apartment model.
class ComInit {
 public:
  ComInit();
  explicit ComInit(DWORD model);

 private:
  CoUninitializeCall uninitialize_;
};

struct ExcelTimes {
  // How long an instance told to quit may take to go before it is ended.
  std::chrono::milliseconds quitGrace{30000};
  CallTimes calls{};
};

class ComExcel final : public base::ExcelAutomation {
 public:
  // Registers the retrying message filter on the constructing thread for the
  // object's lifetime. `aids` are handed to the sequence while Excel is
  // installed; they must outlive this object.
  explicit ComExcel(ExcelTimes times = {}, base::ExcelAids aids = {});

  std::unique_ptr<base::ExcelApplication> GetRunning() override;
  // Fails with NotInstalled only when there is no Excel to start; a failed
  // start, or an instance whose process cannot be found out (its Hwnd), is a
  // plain AutomationError.
  std::unique_ptr<base::ExcelApplication> Create() override;
  base::ExcelAids Aids() override;

 private:
  ExcelTimes times_;
  base::ExcelAids aids_;
  MessageFilterScope filter_;
};

}  // namespace quorvane::win32
