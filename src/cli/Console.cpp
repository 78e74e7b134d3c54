#include "cli/Console.h"

#include <string>

#include "cli/Report.h"

namespace quorvane::cli {

Console::Console(std::ostream& out, std::ostream& err, ConsoleSettings settings, std::size_t total)
    : out_(out), err_(err), settings_(settings), reports_(total) {
  if (settings_.progress && total > 0) DrawBar();
}

void Console::Finished(std::size_t index, WorkbookReport report) {
  const std::lock_guard lock(mutex_);
  reports_.at(index) = std::move(report);
  ++finished_;
  ClearBar();
  for (; printed_ < reports_.size() && reports_[printed_]; ++printed_) {
    const WorkbookReport& next = *reports_[printed_];
    if (!settings_.lines) continue;
    if (settings_.quiet && next.status != Status::Failed) continue;
    out_ << FormatWorkbook(next, settings_.action);
  }
  out_.flush();
  if (settings_.progress && finished_ < reports_.size()) DrawBar();
}

std::vector<WorkbookReport> Console::Close() {
  const std::lock_guard lock(mutex_);
  ClearBar();
  std::vector<WorkbookReport> all;
  all.reserve(reports_.size());
  for (auto& report : reports_) {
    if (report) all.push_back(std::move(*report));
  }
  return all;
}

void Console::DrawBar() {
  constexpr std::size_t kWidth = 30;
  const std::size_t total = reports_.size();
  const std::size_t filled = total == 0 ? kWidth : finished_ * kWidth / total;
  err_ << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << finished_
       << "/" << total << std::flush;
  barShown_ = true;
}

void Console::ClearBar() {
  if (!barShown_) return;
  err_ << "\r\x1b[K" << std::flush;
  barShown_ = false;
}

}  // namespace quorvane::cli
