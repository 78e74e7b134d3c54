// End to end with a real office suite: LibreOffice makes a workbook that
// links to another, quorvane-cli breaks the link, and LibreOffice reads the
// values back. Skipped where soffice is missing unless the environment
// demands it (QUORVANE_REQUIRE_LIBREOFFICE, set by scripts/test).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Process.h"
#include "support/WorkbookBuilder.h"

namespace fs = std::filesystem;
using quorvane::testing::ProcessOutcome;
using quorvane::testing::RunProcess;

namespace {

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

constexpr const char* kFodsHead =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:xlink="http://www.w3.org/1999/xlink"
 xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
<office:body><office:spreadsheet>
)";
constexpr const char* kFodsTail = "</office:spreadsheet></office:body></office:document>\n";

// The source's cells: a number, a text and another number.
constexpr const char* kSourceRows =
    R"(<table:table-row><table:table-cell office:value-type="float" office:value="10"><text:p>10</text:p></table:table-cell></table:table-row>
<table:table-row><table:table-cell office:value-type="string"><text:p>north</text:p></table:table-cell></table:table-row>
<table:table-row><table:table-cell office:value-type="float" office:value="2.5"><text:p>2.5</text:p></table:table-cell></table:table-row>
)";

std::string SourceFods() {
  return std::string(kFodsHead) + "<table:table table:name=\"Sheet1\">\n" + kSourceRows + "</table:table>\n" + kFodsTail;
}

// Formulas into the source, with LibreOffice's own cache of the linked
// sheet, so the conversion keeps the values instead of recalculating.
std::string DependentFods(const std::string& sourceUrl) {
  const std::string ref = "'" + sourceUrl + "'#$Sheet1";
  std::string body = "<table:table table:name=\"Sheet1\"><table:table-row>\n";
  body += "<table:table-cell table:formula=\"of:=[" + ref +
          ".A1]*2\" office:value-type=\"float\" office:value=\"20\"><text:p>20</text:p></table:table-cell>\n";
  body += "<table:table-cell table:formula=\"of:=[" + ref +
          ".A2]\" office:value-type=\"string\" office:string-value=\"north\"><text:p>north</text:p></table:table-cell>\n";
  body += "<table:table-cell table:formula=\"of:=SUM([" + ref +
          ".A1:.A3])\" office:value-type=\"float\" office:value=\"12.5\"><text:p>12.5</text:p></table:table-cell>\n";
  body += "<table:table-cell office:value-type=\"float\" office:value=\"7\"><text:p>7</text:p></table:table-cell>\n";
  body += "</table:table-row></table:table>\n";
  body += "<table:table table:name=\"'" + sourceUrl + "'#Sheet1\" table:print=\"false\">\n";
  body += "<table:table-source xlink:type=\"simple\" xlink:href=\"" + sourceUrl +
          "\" table:table-name=\"Sheet1\" table:mode=\"copy-results-only\"/>\n";
  body += std::string(kSourceRows) + "</table:table>\n";
  return std::string(kFodsHead) + body + kFodsTail;
}

bool HasExternalLinkPart(const fs::path& workbook) {
  for (const auto& entry : quorvane::testing::PackageEntries(workbook))
    if (entry.find("externalLink") != std::string::npos) return true;
  return false;
}

class LibreOffice : public ::testing::Test {
 protected:
  void SetUp() override {
    soffice_ = FindProgram("soffice");
    if (soffice_.empty()) {
      if (std::getenv("QUORVANE_REQUIRE_LIBREOFFICE")) FAIL() << "soffice is not installed";
      GTEST_SKIP() << "soffice is not installed";
    }
    std::string pattern = (fs::temp_directory_path() / "quorvane-lo-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  // soffice --convert-to with a throwaway profile, so no user setting and no
  // running office instance takes part.
  void Convert(const fs::path& input, const std::string& format, const fs::path& outdir) {
    fs::create_directories(outdir);
    const ProcessOutcome outcome =
        RunProcess({soffice_, "-env:UserInstallation=file://" + (dir_ / "profile").string(), "--headless",
                    "--norestore", "--convert-to", format, "--outdir", outdir.string(), input.string()},
                   dir_, dir_ / "soffice", std::chrono::seconds(180));
    ASSERT_EQ(outcome.exit, 0) << outcome.out << outcome.err;
  }

  std::string soffice_;
  fs::path dir_;
};

TEST_F(LibreOffice, BrokenLinksKeepTheValuesLibreOfficeShows) {
  std::ofstream(dir_ / "source.fods") << SourceFods();
  ASSERT_NO_FATAL_FAILURE(Convert(dir_ / "source.fods", "xlsx", dir_));
  std::ofstream(dir_ / "dependent.fods") << DependentFods("file://" + (dir_ / "source.xlsx").string());
  ASSERT_NO_FATAL_FAILURE(Convert(dir_ / "dependent.fods", "xlsx", dir_));
  const fs::path dependent = dir_ / "dependent.xlsx";
  ASSERT_TRUE(HasExternalLinkPart(dependent)) << "LibreOffice wrote no link; the test proves nothing";

  ASSERT_NO_FATAL_FAILURE(Convert(dependent, "csv", dir_ / "before"));
  const std::string before = quorvane::testing::ReadFileBytes(dir_ / "before" / "dependent.csv");
  ASSERT_EQ(before, "20,north,12.5,7\n") << "LibreOffice's own reading of its workbook";

  // The source goes away: from now on only what the workbook itself holds
  // can give these values.
  fs::remove(dir_ / "source.xlsx");
  const ProcessOutcome cli = RunProcess({QUORVANE_CLI, "--json", dependent.string()}, dir_, dir_ / "cli");
  ASSERT_EQ(cli.exit, 0) << cli.out << cli.err;
  EXPECT_NE(cli.out.find("\"changed\""), std::string::npos) << cli.out;
  EXPECT_FALSE(HasExternalLinkPart(dependent));

  ASSERT_NO_FATAL_FAILURE(Convert(dependent, "csv", dir_ / "after"));
  EXPECT_EQ(quorvane::testing::ReadFileBytes(dir_ / "after" / "dependent.csv"), before);
}

}  // namespace
