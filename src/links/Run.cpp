#include "links/Run.h"

#include <exception>
#include <memory>

#include "links/Links.h"

namespace quorvane::links {

namespace {

// The window returns to idle whatever happens inside the run.
class IdleOnExit {
 public:
  explicit IdleOnExit(RunControls& controls) : controls_(controls) {}
  IdleOnExit(const IdleOnExit&) = delete;
  IdleOnExit& operator=(const IdleOnExit&) = delete;
  ~IdleOnExit() {
    controls_.pointer.Set(base::kPointerDefault);
    controls_.progress.Set(0.0);
  }

 private:
  RunControls& controls_;
};

std::string Cut(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  // Do not split a UTF-8 sequence.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

}  // namespace

std::string FinalMessage(std::size_t total, const std::vector<WorkbookFailure>& failures) {
  if (failures.empty()) return kDone;
  constexpr std::size_t kListed = 10;
  constexpr std::size_t kReasonLength = 200;
  std::string text = kDone;
  text += "\r\n\r\n" + std::to_string(failures.size()) + " of " + std::to_string(total) +
          (total == 1 ? " workbook" : " workbooks") + " could not be processed:";
  for (std::size_t i = 0; i < failures.size() && i < kListed; ++i) {
    text += "\r\n" + failures[i].path + "\r\n    " + Cut(failures[i].reason, kReasonLength);
  }
  if (failures.size() > kListed) text += "\r\n... and " + std::to_string(failures.size() - kListed) + " more.";
  return text;
}

void RemoveLinks(RunControls controls, RunServices services) {
  if (WarnIfExcelOpen(services.excel, services.messages)) return;

  IdleOnExit idle(controls);
  controls.pointer.Set(base::kPointerHourglass);
  if (controls.files.Count() == 0) {
    services.messages.Show(kNoFilesAdded, base::MessageButtons::Ok);
    return;
  }

  const std::size_t n = controls.files.Count();
  std::vector<WorkbookFailure> failures;
  {
    std::unique_ptr<base::ExcelApplication> instance;
    for (std::size_t i = 1; i <= n; ++i) {
      const std::string path = controls.files.Text(i);
      bool backupMissing = false;
      if (controls.backupOption.Value() == 1) {
        try {
          MakeBackup(services.copier, services.clock, path);
        } catch (const std::exception& e) {
          // A requested backup is never skipped: without it the workbook stays as it is.
          failures.push_back({path, std::string("backup copy failed: ") + e.what()});
          backupMissing = true;
        }
      }
      controls.progress.Set(static_cast<double>(i) / static_cast<double>(n) * 100.0);
      controls.pointer.Set(base::kPointerHourglass);
      if (backupMissing) continue;
      try {
        BreakWorkbookLinks(services.excel, path, instance, controls.pointer);
      } catch (const std::exception& e) {
        failures.push_back({path, DescribeFailure(e)});
      } catch (...) {
        failures.push_back({path, "unknown failure"});
      }
    }
  }  // the last instance's reference goes with the run
  services.input.Discard();
  services.messages.Show(FinalMessage(n, failures), base::MessageButtons::Ok);
}

}  // namespace quorvane::links
