// The parts of quorvane-cli with logic of their own: the grouping of paths
// naming one file, the worker pool, the in-order console, JSON text and the
// backup copier; and RunCli in-process with the recording Excel stand-in.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "cli/Cli.h"
#include "cli/Console.h"
#include "cli/Parallel.h"
#include "cli/PosixFileCopier.h"
#include "cli/Report.h"
#include "fakes/FakeExcel.h"
#include "filelist/StdDirectoryListing.h"
#include "quorvane/Version.h"
#include "support/ScratchDir.h"

using namespace quorvane::cli;
using quorvane::links::CopyResult;
using quorvane::tests::ReadBytes;
using quorvane::tests::ScratchDir;
namespace fs = std::filesystem;

TEST(GroupSameFiles, EverySpellingOfOneFileFallsInOneGroupInOrderOfFirstAppearance) {
  ScratchDir dir("groups");
  const fs::path a = dir.File("a.xlsx", "same"), b = dir.File("b.xlsx");
  const fs::path twin = dir.File("sub/a.xlsx", "same");  // the same content and name elsewhere is another file
  fs::create_symlink(a, dir / "sub" / "link.xlsx");
  fs::create_hard_link(a, dir / "sub" / "hard.xlsx");
  const std::vector<std::string> paths = {b, a, dir / "sub/../a.xlsx", dir / "gone.xlsx", dir / "sub/link.xlsx",
                                          dir / "sub/../gone.xlsx", dir / "sub/hard.xlsx", dir / "./b.xlsx",
                                          dir / "sub/other.xlsx", twin};
  EXPECT_EQ(GroupSameFiles(paths), (std::vector<std::vector<std::size_t>>{{0, 7}, {1, 2, 4, 6}, {3, 5}, {8}, {9}}));
}

TEST(RunGroups, EveryPositionOnceGroupsInOrderOnOneThreadAndAFailureStopsTheRest) {
  std::vector<std::vector<std::size_t>> groups;
  for (std::size_t g = 0; g < 40; ++g) groups.push_back({3 * g, 3 * g + 1, 3 * g + 2});
  std::vector<std::pair<int, std::thread::id>> done(120);  // how often, by whom
  std::atomic<int> workers{0}, calls{0};
  std::mutex mutex;
  RunGroups(groups, 4, [&] {
    ++workers;
    return [&](std::size_t i) {
      const std::lock_guard lock(mutex);
      done[i] = {done[i].first + 1, std::this_thread::get_id()};
      if (i % 3 != 0) { EXPECT_EQ(done[i - 1].first, 1) << "within a group, the earlier one comes first"; }
    };
  });
  EXPECT_LE(workers.load(), 4);
  for (std::size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i], std::make_pair(1, done[i - i % 3].second)) << i;

  // A throwing worker stops the rest and its exception is passed on; so is
  // one of a worker that cannot even be made.
  const auto failing = [&] {
    return [&](std::size_t i) {
      ++calls;
      if (i == 5) throw std::runtime_error("disk gone");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
  };
  EXPECT_THROW(RunGroups(groups, 3, failing), std::runtime_error);
  EXPECT_LT(calls.load(), 120) << "groups were started after the failure";
  EXPECT_THROW(RunGroups(groups, 2, []() -> std::function<void(std::size_t)> { throw std::runtime_error("no engine"); }),
               std::runtime_error);
}

WorkbookReport Report(std::string path, Status status, std::string reason = {}) {
  return {std::move(path), status, std::move(reason), {}, {}};
}

TEST(Console, PrintsInInputOrderQuietShowsFailuresOnlyAndTheBarFitsTheTerminalWhateverItsWidth) {
  std::ostringstream out, err;
  Console console(out, err, {}, 3);
  console.Finished(2, Report("c.xlsx", Status::NoLinks));
  console.Finished(0, Report("a.xlsx", Status::Failed, "Open: not a zip package"));
  EXPECT_EQ(out.str(), "failed: a.xlsx: Open: not a zip package\n") << "c must wait for b";
  console.Finished(1, Report("b.xlsx", Status::NoLinks));
  EXPECT_EQ(out.str(),
            "failed: a.xlsx: Open: not a zip package\n"
            "unchanged: b.xlsx: no links to other workbooks\n"
            "unchanged: c.xlsx: no links to other workbooks\n");
  EXPECT_EQ(err.str(), "") << "no bar unless asked for";

  for (const int columns : {0, 8, 12, 20, 30, 80, 200}) {
    SCOPED_TRACE(columns);
    std::ostringstream quiet, bar;
    Console withBar(quiet, bar, {.quiet = true, .progress = true, .columns = [&] { return columns; }}, 1234);
    withBar.Finished(0, Report("a.xlsx", Status::Changed));
    withBar.Finished(1, Report("b.xlsx", Status::Failed, "backup failed"));
    for (std::size_t i = 2; i < 1234; ++i) withBar.Finished(i, Report("c.xlsx", Status::NoLinks));
    withBar.Close();
    EXPECT_EQ(quiet.str(), "failed: b.xlsx: backup failed\n");
    // No redraw ("\r" ...) may reach the last column, and the last is wiped.
    std::istringstream draws(bar.str());
    for (std::string draw; std::getline(draws, draw, '\r');)
      EXPECT_LT(draw.size() - (draw.starts_with("\x1b[K") ? 3 : 0), static_cast<std::size_t>(columns > 0 ? columns : 80)) << draw;
    if (columns == 0 || columns >= 20) { EXPECT_NE(bar.str().find("] 13/1234"), std::string::npos); }
    EXPECT_TRUE(bar.str().empty() || bar.str().ends_with("\r\x1b[K")) << "the bar must not stay on screen";
  }
}

TEST(JsonString, AnyBytesGiveValidJsonThatReadsBack) {
  const std::pair<std::string, std::string> cases[] = {
      {"quote\" back\\slash tab\tnew\nline\x01 Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x93\x8A",
       "quote\" back\\slash tab\tnew\nline\x01 Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x93\x8A"},
      {"latin1 \xE9t\xE9", "latin1 \xEF\xBF\xBDt\xEF\xBF\xBD"},  // not UTF-8
      {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},           // truncated sequence
      {"overlong \xC0\xAF", "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& [raw, readBack] : cases) {
    const std::string literal = JsonString(raw);
    std::string back;
    ASSERT_NO_THROW(back = nlohmann::json::parse(literal).get<std::string>()) << literal;
    EXPECT_EQ(back, readBack) << literal;
  }
}

TEST(PosixFileCopier, CopiesWholeWithItsModeNeverReplacesATargetAndFailsLeavingNothing) {
  ScratchDir dir("copier");
  std::string content(300000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
  const fs::path book = dir.File("book.xlsx", content), older = dir.File("backup.xlsx", "older backup");
  const fs::path locked = dir.File("locked.xlsx", "secret");
  fs::permissions(book, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::permissions(locked, fs::perms::none);
  fs::create_symlink(dir / "nowhere", dir / "dangling.xlsx");
  fs::create_directory(dir / "folder.xlsx");
  fs::create_directory(dir / "ro");
  fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
  PosixFileCopier copier;
  EXPECT_EQ(copier.Copy(book, dir / "copy.xlsx"), CopyResult::Copied);
  EXPECT_EQ(ReadBytes(dir / "copy.xlsx"), content);
  EXPECT_EQ(fs::status(dir / "copy.xlsx").permissions(), fs::status(book).permissions());
  // A dangling link is a taken name too: following it would write elsewhere.
  for (const fs::path& taken : {older, dir / "dangling.xlsx"})
    EXPECT_EQ(copier.Copy(book, taken), CopyResult::TargetExists);
  EXPECT_EQ(ReadBytes(older), "older backup");

  std::vector<std::tuple<fs::path, fs::path, std::string>> failures{
      {dir / "missing.xlsx", dir / "new.xlsx", "cannot read"},
      {dir / "folder.xlsx", dir / "new.xlsx", "not a regular file"},
      {"/proc/self/mem", dir / "new.xlsx", "cannot read /proc/self/mem: Input/output error"},  // a read that fails
  };
  if (::geteuid() != 0)  // root reads and writes anything
    failures.insert(failures.end(),
                    {{locked, dir / "new.xlsx", "cannot read"}, {book, dir / "ro/new.xlsx", "ro/new.xlsx"}});
  for (const auto& [from, to, message] : failures) {
    SCOPED_TRACE(from.string() + " to " + to.string());
    try {
      copier.Copy(from, to);
      ADD_FAILURE() << "copied";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"backup.xlsx", "book.xlsx", "copy.xlsx", "dangling.xlsx",
                                                   "folder.xlsx", "locked.xlsx", "ro"}));
  EXPECT_TRUE(fs::is_empty(dir / "ro"));
}

// The factory hands out owners; the stand-in itself stays with the test.
struct Borrowed final : quorvane::base::ExcelAutomation {
  explicit Borrowed(quorvane::testing::FakeExcel& inner) : inner_(inner) {}
  std::unique_ptr<quorvane::base::ExcelApplication> GetRunning() override { return inner_.GetRunning(); }
  std::unique_ptr<quorvane::base::ExcelApplication> Create() override { return inner_.Create(); }
  quorvane::testing::FakeExcel& inner_;
};

// Bug reports and scripts tell builds apart by the version; --version needs no path.
TEST(RunCli, ExcelTakesOneWorkbookAtATimeAFailedCallFailsOnlyItsWorkbookAndTheTimeoutReachesItAlone) {
  quorvane::testing::FakeExcel excel;
  std::vector<long long> deadlines;  // what each Excel engine was made with
  PosixFileCopier copier;            // no backup is asked for
  quorvane::links::LocaleClock clock;
  quorvane::filelist::StdDirectoryListing listing;
  std::ostringstream out, err;
  const auto run = [&](std::vector<const char*> args) {
    args.insert(args.begin(), "quorvane-cli");
    out.str("");
    return RunCli(static_cast<int>(args.size()), args.data(),
                  {.out = out, .err = err, .copier = copier, .clock = clock, .listing = listing,
                   .builtin = [] { return std::unique_ptr<quorvane::base::ExcelAutomation>(); },
                   .excel = [&](std::chrono::seconds deadline) {
                     deadlines.push_back(deadline.count());
                     return std::make_unique<Borrowed>(excel);
                   }});
  };
  for (const char* p : {"/w/a.xlsx", "/w/b.xlsx", "/w/c.xlsx"}) excel.sources[p] = {"/w/s1.xlsx", "/w/s2.xlsx"};
  excel.failOn = "Save";
  excel.failPath = "/w/b.xlsx";
  EXPECT_EQ(run({"--engine", "excel", "--jobs", "4", "/w/a.xlsx", "/w/b.xlsx", "/w/c.xlsx", "/w/d.xlsx"}), 1);
  const auto at = [&](const std::string& entry) { return std::find(excel.log.begin(), excel.log.end(), entry); };
  EXPECT_LT(at("Quit#1"), at("Create#2")) << "a second instance before the first ended";
  EXPECT_EQ(excel.alive, 0) << "an instance is still running";
  EXPECT_EQ(out.str(),
            "changed: /w/a.xlsx: 2 links broken\n  /w/s1.xlsx\n  /w/s2.xlsx\n"
            "failed: /w/b.xlsx: Save: simulated failure\n"
            "changed: /w/c.xlsx: 2 links broken\n  /w/s1.xlsx\n  /w/s2.xlsx\n"
            "unchanged: /w/d.xlsx: no links to other workbooks\n"
            "4 workbooks: 2 changed, 1 without links, 1 failed\n");

  EXPECT_EQ(run({"--engine", "excel", "--excel-timeout", "7", "--json", "/w/a.xlsx"}), 0) << err.str();
  EXPECT_EQ(nlohmann::json::parse(out.str()).at("version"), QUORVANE_VERSION);
  EXPECT_EQ(deadlines, (std::vector<long long>{quorvane::base::kDefaultExcelDeadline.count(), 7}));
  for (const char* bad : {"0", "-1", "86401", "ten"})
    EXPECT_EQ(run({"--engine", "excel", "--excel-timeout", bad, "/w/a.xlsx"}), 2) << bad;
  EXPECT_EQ(run({"--engine", "excel", "--list", "--excel-timeout", "30", "/w/a.xlsx"}), 2);
  EXPECT_EQ(deadlines.size(), 2u) << "a usage error made an engine";
  EXPECT_EQ(run({"--version"}), 0);
  EXPECT_EQ(out.str(), "quorvane-cli " QUORVANE_VERSION "\n");
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_NE(out.str().find("Usage:"), std::string::npos);
}
