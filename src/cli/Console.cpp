#include "cli/Console.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    if (!settings_.lines || !lost_.empty()) continue;
    if (settings_.quiet && next.status != Status::Failed && next.status != Status::NotStarted) continue;
    out_ << FormatWorkbook(next, settings_.action);
  }
  CheckOutput();
  if (settings_.progress && finished_ < reports_.size()) DrawBar();
}

void Console::CheckOutput() {
  if (!lost_.empty()) return;
  errno = 0;
  out_.flush();
  if (out_) return;
  const int code = errno;
  lost_ = "quorvane-cli: cannot write to standard output (";
  lost_ += code != 0 ? std::strerror(code) : "write failed";
  lost_ += "); the work goes on to the end, failures and the summary follow here\n";
  err_ << lost_ << std::flush;
}

std::string Console::OutputLost() {
  const std::lock_guard lock(mutex_);
  CheckOutput();
  return lost_;
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
  constexpr std::size_t kWidest = 30;
  const std::size_t total = reports_.size();
  std::string count = std::to_string(finished_);
  count += '/';
  count += std::to_string(total);
  // Never into the last column: many terminals wrap there, and the line
  // could no longer be wiped.
  const int columns = settings_.columns ? settings_.columns() : 0;
  const std::size_t room = static_cast<std::size_t>(columns > 0 ? columns - 1 : 79);
  std::size_t width = 0;  // of the bar between its brackets; none when too narrow
  if (room >= count.size() + 4) {
    width = std::min(kWidest, room - count.size() - 3);
  } else if (count.size() > room) {
    return;
  }
  err_ << '\r';
  if (width > 0) {
    const std::size_t filled = total == 0 ? width : finished_ * width / total;
    err_ << '[' << std::string(filled, '#') << std::string(width - filled, '.') << "] ";
  }
  err_ << count << std::flush;
  barShown_ = true;
}

void Console::ClearBar() {
  if (!barShown_) return;
  err_ << "\r\x1b[K" << std::flush;
  barShown_ = false;
}

}  // namespace quorvane::cli
