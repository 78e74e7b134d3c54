#pragma once
// base::ExcelAutomation over COM: "Excel.Application" reached by late binding.
// COM must be initialised on the calling thread (ComInit) for as long as any
// object from here is alive.

#include <chrono>
#include <memory>

#include "base/Excel.h"
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

class ComExcel final : public base::ExcelAutomation {
 public:
  // quitGrace: how long ForceEnd waits for a told-to-quit instance to go
  // before it ends the process.
  explicit ComExcel(std::chrono::milliseconds quitGrace = std::chrono::seconds(5));

  std::unique_ptr<base::ExcelApplication> GetRunning() override;
  std::unique_ptr<base::ExcelApplication> Create() override;

 private:
  std::chrono::milliseconds quitGrace_;
};

}  // namespace quorvane::win32
