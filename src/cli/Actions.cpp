#include "cli/Actions.h"

#include <exception>
#include <filesystem>
#include <system_error>
#include <memory>

#include "base/AtomicFile.h"
#include "base/Controls.h"
#include "base/Utf8Path.h"
#include "cli/ObservedAutomation.h"
#include "links/Links.h"

namespace quorvane::cli {
namespace {

const char* KindName(ooxml::LinkKind kind) {
  switch (kind) {
    case ooxml::LinkKind::Book: return "book";
    case ooxml::LinkKind::Dde: return "dde";
    case ooxml::LinkKind::Ole: return "ole";
    case ooxml::LinkKind::Other: break;
  }
  return "other";
}

}  // namespace

namespace {

// The engine is given full paths, as Excel would be: a relative link is
// resolved against the workbook's folder, which must then be a real one.
// Symbolic links are resolved too: replacing the file whole would otherwise
// put a plain file in place of the link and leave its target unbroken.
std::string FullPath(const std::string& path) {
  std::error_code ec;
  auto full = std::filesystem::weakly_canonical(std::filesystem::absolute(base::FromUtf8(path), ec), ec);
  return ec ? path : base::ToUtf8(full);
}

// A FIFO or device under a workbook's name would block or never end a read.
// Missing files are left to the steps that follow, which say so themselves.
bool RefuseSpecialFile(const std::string& path, WorkbookReport& report) {
  std::error_code ec;
  const auto status = std::filesystem::status(base::FromUtf8(path), ec);
  if (ec || !std::filesystem::exists(status) || std::filesystem::is_regular_file(status)) return false;
  report.reason = std::filesystem::is_directory(status) ? "a folder, not a workbook" : "not a regular file";
  return true;
}

}  // namespace

WorkbookReport BreakOne(const std::string& path, BreakServices services) {
  WorkbookReport report;
  report.path = path;
  if (RefuseSpecialFile(path, report)) return report;
  // What a killed earlier run left beside the workbook, also when this run
  // finds nothing to save there.
  base::RemoveAbandonedTemporariesOnce(base::FromUtf8(FullPath(path)).parent_path());
  if (services.backup && services.builtinEngine) {
    // Recognised as the engine will open it, so that nothing it refuses (a
    // large file that merely has the name) is copied first.
    try {
      ooxml::Workbook::Open(base::FromUtf8(FullPath(path)));
    } catch (const std::exception& error) {
      report.reason = std::string("Open: ") + error.what();
      return report;
    }
  }
  if (services.backup) {
    try {
      report.backup = links::MakeBackup(services.copier, services.clock, path);
    } catch (const std::exception& error) {
      report.reason = std::string("backup failed, workbook left as it was: ") + error.what();
      return report;
    }
  }
  ObservedAutomation observed(services.engine);
  try {
    std::unique_ptr<base::ExcelApplication> current;
    base::Property<int> pointer;  // no window to show the hourglass on
    links::BreakWorkbookLinks(observed, FullPath(path), current, pointer);
  } catch (const std::exception& error) {
    report.reason = links::DescribeFailure(error);
    return report;
  } catch (...) {
    report.reason = "unexpected failure";
    return report;
  }
  const Observation& seen = observed.Seen();
  for (const auto& name : seen.broken) report.sources.push_back({name, "book", std::nullopt});
  report.status = seen.broken.empty() ? Status::NoLinks : Status::Changed;
  return report;
}

WorkbookReport ListOne(const std::string& path) {
  WorkbookReport report;
  report.path = path;
  if (RefuseSpecialFile(path, report)) return report;
  try {
    const auto book = ooxml::Workbook::Open(base::FromUtf8(FullPath(path)));
    const auto usage = book.Usage();
    bool anyBook = false;
    for (const auto& link : book.Links()) {
      SourceReport source;
      source.kind = KindName(link.kind);
      source.name = link.kind == ooxml::LinkKind::Book ? link.source : link.target;
      source.form = link.form;
      const auto found = usage.find(link.index);
      source.usage = found != usage.end() ? found->second : ooxml::LinkUsage{};
      anyBook = anyBook || link.kind == ooxml::LinkKind::Book;
      report.sources.push_back(std::move(source));
    }
    report.status = anyBook ? Status::Linked : Status::NoLinks;
  } catch (const std::exception& error) {
    report.reason = error.what();
  } catch (...) {
    report.reason = "unexpected failure";
  }
  return report;
}

}  // namespace quorvane::cli
