// quorvane-cli over the shared sample workbooks (real files saved by Excel
// and others): every workbook ends changed without links, without links
// from the start, or failed and byte-identical; backups hold the originals.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "Json.h"
#include "Process.h"
#include "support/WorkbookBuilder.h"

namespace fs = std::filesystem;
using quorvane::testing::Json;
using quorvane::testing::ReadFileBytes;

namespace {

TEST(CliCorpus, EveryWorkbookEndsCleanOrUntouched) {
  const char* shared = std::getenv("QUORVANE_SHARED");
  if (!shared || !fs::is_directory(fs::path(shared) / "corpus")) GTEST_SKIP() << "no shared corpus";
  std::string pattern = (fs::temp_directory_path() / "quorvane-cli-corpus-XXXXXX").string();
  const fs::path dir = ::mkdtemp(pattern.data());
  std::map<std::string, std::string> before;
  for (const char* folder : {"excel", "lo_from_xls", "derived", "needs_excel"}) {
    const fs::path from = fs::path(shared) / "corpus" / folder;
    if (!fs::is_directory(from)) continue;
    fs::create_directories(dir / "corpus" / folder);
    fs::copy(from, dir / "corpus" / folder, fs::copy_options::recursive);
  }
  for (const auto& entry : fs::recursive_directory_iterator(dir / "corpus")) {
    if (!entry.is_regular_file()) continue;
    // The shared copies are read-only, which the engine rightly refuses.
    fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
    before[fs::relative(entry.path(), dir).string()] = ReadFileBytes(entry.path());
  }
  ASSERT_FALSE(before.empty());

  const auto run = quorvane::testing::RunProcess({QUORVANE_CLI, "--backup", "--json", "--jobs", "2", "corpus"},
                                                 dir, dir / "run", std::chrono::seconds(600));
  Json report;
  ASSERT_NO_THROW(report = Json::Parse(run.out)) << run.out << run.err;
  const auto& books = report.At("workbooks").AsArray();
  EXPECT_EQ(books.size(), before.size()) << "the walk missed or invented workbooks";

  bool anyFailed = false;
  std::vector<std::string> changed;
  for (const auto& book : books) {
    const std::string path = book.At("path").Text(), status = book.At("status").Text();
    SCOPED_TRACE(path + ": " + status);
    ASSERT_TRUE(before.count(path));
    const bool needsExcel = path.find("needs_excel/") != std::string::npos;
    if (status == "failed") {
      anyFailed = true;
      EXPECT_FALSE(book.At("reason").Text().empty());
      EXPECT_EQ(ReadFileBytes(dir / path), before[path]) << "a failed workbook was changed";
    } else {
      EXPECT_FALSE(needsExcel) << "an .xls/.xlsb must be refused";
      if (status == "changed") changed.push_back(path);
      else EXPECT_EQ(ReadFileBytes(dir / path), before[path]) << "a workbook without links was rewritten";
    }
    // Only what the engine refused outright goes without a backup.
    if (!book.At("backup").IsString()) {
      EXPECT_EQ(status, "failed");
      EXPECT_EQ(book.At("reason").Text().rfind("Open: ", 0), 0u) << "refused later than at the opening";
      continue;
    }
    EXPECT_EQ(ReadFileBytes(book.At("backup").Text().insert(0, dir.string() + "/")), before[path])
        << "the backup is not the original";
  }
  EXPECT_EQ(run.exit, anyFailed ? 1 : 0) << run.err;
  EXPECT_FALSE(changed.empty()) << "no sample had links: the test proves nothing";

  // The changed ones now list no link to any workbook (DDE and OLE links
  // may stay).
  std::vector<std::string> args{QUORVANE_CLI, "--list", "--json"};
  args.insert(args.end(), changed.begin(), changed.end());
  const auto list = quorvane::testing::RunProcess(args, dir, dir / "list", std::chrono::seconds(600));
  EXPECT_EQ(list.exit, 0) << list.out << list.err;
  ASSERT_NO_THROW(Json::Parse(list.out)) << list.out;
  EXPECT_EQ(Json::Parse(list.out).At("summary.linked").Text(), "0") << list.out;
  fs::remove_all(dir);
}

}  // namespace
