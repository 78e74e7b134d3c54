// RunCli in-process with the recording Excel stand-in: Excel takes one
// workbook at a time whatever --jobs says, a failed call fails only its
// workbook, --excel-timeout reaches the Excel engine alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/Cli.h"
#include "cli/PosixFileCopier.h"
#include "fakes/FakeExcel.h"
#include "filelist/StdDirectoryListing.h"
#include "quorvane/Version.h"

namespace {

// The factory hands out owners; the stand-in itself stays with the test.
struct Borrowed final : quorvane::base::ExcelAutomation {
  explicit Borrowed(quorvane::testing::FakeExcel& inner) : inner_(inner) {}
  std::unique_ptr<quorvane::base::ExcelApplication> GetRunning() override { return inner_.GetRunning(); }
  std::unique_ptr<quorvane::base::ExcelApplication> Create() override { return inner_.Create(); }
  quorvane::testing::FakeExcel& inner_;
};

class RunCliTest : public ::testing::Test {
 protected:
  int Run(std::vector<const char*> args) {
    args.insert(args.begin(), "quorvane-cli");
    out_.str("");
    return quorvane::cli::RunCli(static_cast<int>(args.size()), args.data(),
                                 {.out = out_, .err = err_, .copier = copier_, .clock = clock_, .listing = listing_,
                                  .builtin = [] { return std::unique_ptr<quorvane::base::ExcelAutomation>(); },
                                  .excel = [this](std::chrono::seconds deadline) {
                                    deadlines_.push_back(deadline.count());
                                    return std::make_unique<Borrowed>(excel_);
                                  }});
  }

  quorvane::testing::FakeExcel excel_;
  std::vector<long long> deadlines_;  // what each Excel engine was made with
  quorvane::cli::PosixFileCopier copier_;  // no backup is asked for
  quorvane::links::LocaleClock clock_;
  quorvane::filelist::StdDirectoryListing listing_;
  std::ostringstream out_, err_;
};

TEST_F(RunCliTest, ExcelTakesOneWorkbookAtATimeAndAFailedCallFailsOnlyItsWorkbook) {
  for (const char* p : {"/w/a.xlsx", "/w/b.xlsx", "/w/c.xlsx"}) excel_.sources[p] = {"/w/s1.xlsx", "/w/s2.xlsx"};
  excel_.failOn = "Save";
  excel_.failPath = "/w/b.xlsx";
  EXPECT_EQ(Run({"--engine", "excel", "--jobs", "4", "/w/a.xlsx", "/w/b.xlsx", "/w/c.xlsx", "/w/d.xlsx"}), 1);
  const auto at = [&](const std::string& entry) { return std::find(excel_.log.begin(), excel_.log.end(), entry); };
  EXPECT_LT(at("Quit#1"), at("Create#2")) << "a second instance before the first ended";
  EXPECT_EQ(excel_.alive, 0) << "an instance is still running";
  EXPECT_EQ(out_.str(),
            "changed: /w/a.xlsx: 2 links broken\n  /w/s1.xlsx\n  /w/s2.xlsx\n"
            "failed: /w/b.xlsx: Save: simulated failure\n"
            "changed: /w/c.xlsx: 2 links broken\n  /w/s1.xlsx\n  /w/s2.xlsx\n"
            "unchanged: /w/d.xlsx: no links to other workbooks\n"
            "4 workbooks: 2 changed, 1 without links, 1 failed\n");
}

// Bug reports and scripts tell builds apart by the version; --version needs no path.
TEST_F(RunCliTest, ExcelTimeoutReachesTheExcelEngineAloneAndTheVersionAnswersAlone) {
  EXPECT_EQ(Run({"--engine", "excel", "/w/a.xlsx"}), 0) << err_.str();
  EXPECT_EQ(Run({"--engine", "excel", "--excel-timeout", "7", "--json", "/w/a.xlsx"}), 0) << err_.str();
  EXPECT_EQ(nlohmann::json::parse(out_.str()).at("version"), QUORVANE_VERSION);
  EXPECT_EQ(deadlines_, (std::vector<long long>{300, 7}));
  for (const char* bad : {"0", "-1", "86401", "ten"})
    EXPECT_EQ(Run({"--engine", "excel", "--excel-timeout", bad, "/w/a.xlsx"}), 2) << bad;
  EXPECT_EQ(Run({"--engine", "excel", "--list", "--excel-timeout", "30", "/w/a.xlsx"}), 2);
  EXPECT_EQ(deadlines_.size(), 2u) << "a usage error made an engine";
  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(out_.str(), "quorvane-cli " QUORVANE_VERSION "\n");
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out_.str().find("Usage:"), std::string::npos);
}

}  // namespace
