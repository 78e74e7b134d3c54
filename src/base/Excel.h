#pragma once
// The Excel automation interface: everything the tool asks of "Excel.Application".
// Implemented by the COM binding on Windows and by the built-in workbook engine.
// Every failing operation throws AutomationError.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/OpeningObstacle.h"

namespace quorvane::base {

// Excel's value for links to other Excel workbooks.
inline constexpr std::int32_t kExcelLinks = 1;
// How long one call into an Excel instance the tool created may take before
// the instance is ended: long enough for a large workbook, and at most a day.
inline constexpr std::chrono::seconds kDefaultExcelDeadline{300};
inline constexpr std::chrono::seconds kLongestExcelDeadline{86400};
// AutomationSecurity: no macro of any workbook opened runs, without a question.
inline constexpr std::int32_t kMacrosForceDisabled = 3;

class AutomationError : public std::runtime_error {
 public:
  AutomationError(std::string member, const std::string& reason)
      : std::runtime_error(reason), member_(std::move(member)) {}
  const std::string& Member() const { return member_; }

 private:
  std::string member_;
};

// Creating an instance failed because there is no Excel on this machine, as
// opposed to an Excel that failed to start.
class NotInstalled : public AutomationError {
 public:
  using AutomationError::AutomationError;
};

// What LinkSources gives when the workbook has links: an array addressed from
// its lower bound (1 for Excel) to its upper bound.
class SourceArray {
 public:
  SourceArray() = default;
  explicit SourceArray(std::vector<std::string> items, std::int32_t lowerBound = 1)
      : items_(std::move(items)), lowerBound_(lowerBound) {}
  std::int32_t LowerBound() const { return lowerBound_; }
  std::int32_t UpperBound() const { return lowerBound_ + static_cast<std::int32_t>(items_.size()) - 1; }
  const std::string& At(std::int32_t k) const {
    if (k < lowerBound_ || k > UpperBound()) throw AutomationError("LinkSources", "subscript out of range");
    return items_[static_cast<std::size_t>(k - lowerBound_)];
  }

 private:
  std::vector<std::string> items_;
  std::int32_t lowerBound_ = 1;
};

// std::nullopt stands for "not an array": the workbook has no such link.
using LinkSourceList = std::optional<SourceArray>;

class ExcelWorkbook {
 public:
  virtual ~ExcelWorkbook() = default;
  virtual LinkSourceList LinkSources(std::int32_t type) = 0;
  virtual void BreakLink(const std::string& name, std::int32_t type) = 0;
  virtual void Save() = 0;
  // Failure path only: closes the workbook, discarding changes when saveChanges is false.
  virtual void Close(bool saveChanges) = 0;
};

class ExcelWorkbooks {
 public:
  virtual ~ExcelWorkbooks() = default;
  virtual void Open(const std::string& path) = 0;
};

// One instance of "Excel.Application". Destroying the object releases the
// reference; it ends the instance only when this tool created it and told it
// to quit (see ForceEnd).
class ExcelApplication {
 public:
  virtual ~ExcelApplication() = default;
  virtual std::string DefaultMember() = 0;  // dispatch id 0, read as a property
  virtual std::unique_ptr<ExcelWorkbooks> Workbooks() = 0;
  virtual void SetAutomationSecurity(std::int32_t value) = 0;
  virtual void SetDisplayAlerts(bool value) = 0;
  virtual void SetAskToUpdateLinks(bool value) = 0;
  virtual std::unique_ptr<ExcelWorkbook> ActiveWorkbook() = 0;
  virtual void Quit() = 0;
  // Makes sure an instance this tool created is gone, after a failed
  // sequence or once it was told to quit: lets go of it, gives it time to
  // finish, and ends it if it is still there. Never throws.
  virtual void ForceEnd() noexcept {}
};

class ExcelAutomation;

// What the per-workbook sequence borrows from outside Excel when the work is
// Excel's; both are null where nothing is borrowed.
struct ExcelAids {
  ObstacleFinder* obstacleFinder = nullptr;  // looks at each workbook before Excel opens it
  ExcelAutomation* engine = nullptr;       // breaks links Excel left in a workbook it saved
};

class ExcelAutomation {
 public:
  virtual ~ExcelAutomation() = default;
  // Attaches to an already running instance; throws when none runs.
  virtual std::unique_ptr<ExcelApplication> GetRunning() = 0;
  // Creates a new, separate instance on the local machine; throws
  // NotInstalled when there is nothing to create.
  virtual std::unique_ptr<ExcelApplication> Create() = 0;
  virtual ExcelAids Aids() { return {}; }
};

}  // namespace quorvane::base
