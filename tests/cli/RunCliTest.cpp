// RunCli in-process with a recording engine: the per-workbook sequence is the
// program's own, failures are reported per workbook and the run goes on.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "Json.h"
#include "cli/Cli.h"
#include "fakes/FakeExcel.h"
#include "filelist/StdDirectoryListing.h"
#include "links/Backup.h"
#include "quorvane/Version.h"

using quorvane::testing::FakeExcel;

namespace {

struct NoCopies final : quorvane::links::FileCopier {
  quorvane::links::CopyResult Copy(const std::string&, const std::string&) override {
    ADD_FAILURE() << "no backup was asked for";
    return quorvane::links::CopyResult::Copied;
  }
};

class RunCliTest : public ::testing::Test {
 protected:
  int Run(std::vector<const char*> args) {
    args.insert(args.begin(), "quorvane-cli");
    quorvane::cli::Environment env{
        .out = out_,
        .err = err_,
        .copier = copier_,
        .clock = clock_,
        .listing = listing_,
        .errIsTerminal = false,
        .builtin = [] { return std::unique_ptr<quorvane::base::ExcelAutomation>(); },
        .excel =
            [this](std::chrono::seconds deadline) {
              deadlines_.push_back(deadline.count());
              return std::make_unique<Borrowed>(excel_);
            },
    };
    return quorvane::cli::RunCli(static_cast<int>(args.size()), args.data(), env);
  }

  // The factory hands out owners; the fake itself stays with the test.
  struct Borrowed final : quorvane::base::ExcelAutomation {
    explicit Borrowed(FakeExcel& inner) : inner_(inner) {}
    std::unique_ptr<quorvane::base::ExcelApplication> GetRunning() override { return inner_.GetRunning(); }
    std::unique_ptr<quorvane::base::ExcelApplication> Create() override { return inner_.Create(); }
    FakeExcel& inner_;
  };

  FakeExcel excel_;
  std::vector<long long> deadlines_;  // what each Excel engine was made with
  NoCopies copier_;
  quorvane::links::LocaleClock clock_;
  quorvane::filelist::StdDirectoryListing listing_;
  std::ostringstream out_, err_;
};

TEST_F(RunCliTest, EachWorkbookGoesThroughTheProgramsSequenceOneAtATime) {
  excel_.sources["/w/a.xlsx"] = {"/w/s1.xlsx", "/w/s2.xlsx"};
  // --jobs is ignored for Excel: the log would interleave otherwise.
  EXPECT_EQ(Run({"--engine", "excel", "--jobs", "4", "/w/a.xlsx", "/w/b.xlsx"}), 0) << err_.str();
  // The sequence itself is tested with the run; here: both went through it,
  // strictly one after the other.
  const auto& log = excel_.log;
  const auto at = [&](const std::string& entry) { return std::find(log.begin(), log.end(), entry) - log.begin(); };
  EXPECT_LT(at("Quit#1"), at("Create#2"));
  EXPECT_EQ(excel_.Matching("BreakLink").size(), 2u);
  EXPECT_EQ(excel_.Matching("Save").size(), 2u);
  EXPECT_EQ(excel_.alive, 0);
  EXPECT_EQ(out_.str(),
            "changed: /w/a.xlsx: 2 links broken\n  /w/s1.xlsx\n  /w/s2.xlsx\n"
            "unchanged: /w/b.xlsx: no links to other workbooks\n"
            "2 workbooks: 1 changed, 1 without links, 0 failed\n");
}

TEST_F(RunCliTest, AFailedStepFailsOnlyItsWorkbookAndEndsItsInstance) {
  excel_.sources["/w/a.xlsx"] = {"/w/s.xlsx"};
  excel_.sources["/w/b.xlsx"] = {"/w/s.xlsx"};
  excel_.sources["/w/c.xlsx"] = {"/w/s.xlsx"};
  excel_.failOn = "Save";
  excel_.failPath = "/w/b.xlsx";
  EXPECT_EQ(Run({"--engine", "excel", "/w/a.xlsx", "/w/b.xlsx", "/w/c.xlsx"}), 1);
  EXPECT_EQ(excel_.alive, 0) << "the failed workbook's instance is still running";
  EXPECT_EQ(excel_.Matching("Close(False)").size(), 1u);
  EXPECT_NE(out_.str().find("failed: /w/b.xlsx: Save: simulated failure\n"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("changed: /w/c.xlsx"), std::string::npos) << "the run stopped at the failure";
  EXPECT_NE(out_.str().find("3 workbooks: 2 changed, 0 without links, 1 failed"), std::string::npos);
}

TEST_F(RunCliTest, ExcelTimeoutReachesTheExcelEngineAndNothingElse) {
  EXPECT_EQ(Run({"--engine", "excel", "/w/a.xlsx"}), 0) << err_.str();
  EXPECT_EQ(Run({"--engine", "excel", "--excel-timeout", "7", "/w/a.xlsx"}), 0) << err_.str();
  EXPECT_EQ(deadlines_, (std::vector<long long>{300, 7}));
}

TEST_F(RunCliTest, UsageErrorsTouchNoEngine) {
  EXPECT_EQ(Run({"--list", "--backup", "/w/a.xlsx"}), 2);
  EXPECT_EQ(Run({"--jobs", "-1", "/w/a.xlsx"}), 2);
  EXPECT_EQ(Run({"--excel-timeout", "30", "/w/a.xlsx"}), 2);  // the built-in engine has no calls to time
  EXPECT_EQ(Run({"--engine", "excel", "--list", "--excel-timeout", "30", "/w/a.xlsx"}), 2);
  for (const char* bad : {"0", "-1", "86401", "ten"})
    EXPECT_EQ(Run({"--engine", "excel", "--excel-timeout", bad, "/w/a.xlsx"}), 2) << bad;
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out_.str().find("Usage:"), std::string::npos);
  EXPECT_TRUE(excel_.log.empty());
  EXPECT_TRUE(deadlines_.empty());
}

// Bug reports and scripts tell builds apart by these two; --version needs no PATH.
TEST_F(RunCliTest, TheOneVersionAnswersAloneAndHeadsTheJsonReport) {
  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(out_.str(), "quorvane-cli " QUORVANE_VERSION "\n");
  out_.str("");
  EXPECT_EQ(Run({"--engine", "excel", "--json", "/w/a.xlsx"}), 0);
  EXPECT_EQ(quorvane::testing::Json::Parse(out_.str()).At("version").Text(), QUORVANE_VERSION);
}

}  // namespace
