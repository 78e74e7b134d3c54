// A workbook LibreOffice wrote, whose first sheet takes 110 cells from two
// other books, shows the same cells in LibreOffice after quorvane-cli broke
// its links. Skipped without soffice unless QUORVANE_REQUIRE_LIBREOFFICE.

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/Process.h"

namespace quorvane::tests {
namespace {

TEST(LibreOffice, BrokenLinksKeepTheValuesLibreOfficeShows) {
  ScratchDir dir("lo");
  if (RunProgram({"sh", "-c", "command -v soffice"}, dir.Path()).exit != 0) {
    if (std::getenv("QUORVANE_REQUIRE_LIBREOFFICE")) FAIL() << "soffice is not installed";
    GTEST_SKIP() << "soffice is not installed";
  }
  ASSERT_NE(std::getenv("QUORVANE_SHARED"), nullptr) << "QUORVANE_SHARED names the sample workbooks";
  const fs::path book = dir / "book.xlsx";
  fs::copy_file(fs::path(std::getenv("QUORVANE_SHARED")) / "corpus" / "lo_from_xls" / "poi_60460.xlsx", book);
  fs::permissions(book, fs::perms::owner_write, fs::perm_options::add);  // the samples are read-only
  // The first sheet as LibreOffice shows it; a throwaway profile, so no user
  // setting and no running office instance takes part.
  const auto cells = [&](const std::string& stage) {
    const ChildResult lo = RunProgram({"soffice", "-env:UserInstallation=file://" + (dir / "profile").string(),
                                       "--headless", "--norestore", "--convert-to", "csv", "--outdir",
                                       (dir / stage).string(), book.string()},
                                      dir.Path(), {.deadline = std::chrono::minutes(3)});
    EXPECT_EQ(lo.exit, 0) << lo.out << lo.err;
    return ReadBytes(dir / stage / "book.csv");
  };
  const std::string before = cells("before");
  // Values that come from the other books (E7:I7), as cached in the file.
  ASSERT_NE(before.find(",interesting,1,11,5,1,1,dull,"), std::string::npos) << before;
  const ChildResult cli = RunProgram({QUORVANE_CLI, "--json", book.string()}, dir.Path());
  ASSERT_EQ(cli.exit, 0) << cli.out << cli.err;
  ASSERT_NE(cli.out.find("\"changed\""), std::string::npos) << cli.out;
  EXPECT_EQ(cells("after"), before);
}

}  // namespace
}  // namespace quorvane::tests
