#pragma once
// An automation decorator that remembers what the per-workbook sequence saw,
// so the report can tell a changed workbook from one without links while
// the sequence itself stays the program's own.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Excel.h"

namespace quorvane::cli {

struct Observation {
  // The last LinkSources answer: nothing when it was "not an array".
  std::optional<std::vector<std::string>> sources;
  std::vector<std::string> broken;  // BreakLink names, in call order
  bool saved = false;
};

class ObservedAutomation final : public base::ExcelAutomation {
 public:
  // `inner` is not owned and must outlive this object and its instances.
  explicit ObservedAutomation(base::ExcelAutomation& inner);

  std::unique_ptr<base::ExcelApplication> GetRunning() override;
  std::unique_ptr<base::ExcelApplication> Create() override;
  base::ExcelAids Aids() override { return inner_.Aids(); }

  const Observation& Seen() const { return *seen_; }

 private:
  base::ExcelAutomation& inner_;
  // Shared with the wrappers, which may outlive a call of this object.
  std::shared_ptr<Observation> seen_;
};

}  // namespace quorvane::cli
