// The parts of quorvane-cli with logic of their own: the grouping of paths
// naming one file, the worker pool, the in-order console, JSON text and the
// backup copier.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "cli/Console.h"
#include "cli/Parallel.h"
#include "cli/PosixFileCopier.h"
#include "cli/Report.h"
#include "support/ScratchDir.h"

using namespace quorvane::cli;
using quorvane::links::CopyResult;
using quorvane::tests::ReadBytes;
using quorvane::tests::ScratchDir;
namespace fs = std::filesystem;

TEST(GroupSameFiles, EverySpellingOfOneFileFallsInOneGroupInOrderOfFirstAppearance) {
  ScratchDir dir("groups");
  const fs::path a = dir.File("a.xlsx", "same"), b = dir.File("b.xlsx"), twin = dir.File("sub/a.xlsx", "same");
  fs::create_symlink(a, dir / "sub" / "link.xlsx");
  fs::create_hard_link(a, dir / "sub" / "hard.xlsx");
  const std::vector<std::string> paths = {
      b,                         a,   dir / "sub/../a.xlsx", dir / "gone.xlsx", dir / "sub/link.xlsx",
      dir / "sub/../gone.xlsx",  dir / "sub/hard.xlsx",   dir / "./b.xlsx",   dir / "sub/other.xlsx",
      twin,  // the same content and name elsewhere is another file
  };
  EXPECT_EQ(GroupSameFiles(paths), (std::vector<std::vector<std::size_t>>{{0, 7}, {1, 2, 4, 6}, {3, 5}, {8}, {9}}));
}

TEST(RunGroups, EveryPositionOnceGroupsInOrderOnOneThreadAndAFailureStopsTheRest) {
  std::vector<std::vector<std::size_t>> groups;
  for (std::size_t g = 0; g < 40; ++g) groups.push_back({3 * g, 3 * g + 1, 3 * g + 2});
  std::vector<int> done(120, 0);
  std::vector<std::thread::id> doneBy(120);
  std::atomic<int> workers{0};
  std::mutex mutex;
  RunGroups(groups, 4, [&] {
    ++workers;
    return [&](std::size_t i) {
      const std::lock_guard lock(mutex);
      ++done[i];
      doneBy[i] = std::this_thread::get_id();
      if (i % 3 != 0) { EXPECT_EQ(done[i - 1], 1) << "within a group, the earlier one comes first"; }
    };
  });
  EXPECT_LE(workers.load(), 4);
  for (std::size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i], 1) << i;
  for (std::size_t g = 0; g < 40; ++g) EXPECT_EQ(doneBy[3 * g], doneBy[3 * g + 2]) << "group " << g << " was split";

  // A throwing worker stops the rest and its exception is passed on; so is
  // one of a worker that cannot even be made.
  std::atomic<int> calls{0};
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
  WorkbookReport r;
  r.path = std::move(path);
  r.status = status;
  if (!reason.empty()) r.reason = std::move(reason);
  return r;
}

TEST(Console, PrintsInInputOrderWhateverOrderWorkFinishes) {
  std::ostringstream out, err;
  Console console(out, err, {}, 3);
  console.Finished(2, Report("c.xlsx", Status::NoLinks));
  EXPECT_EQ(out.str(), "") << "c must wait for a and b";
  console.Finished(0, Report("a.xlsx", Status::Failed, "Open: not a zip package"));
  EXPECT_EQ(out.str(), "failed: a.xlsx: Open: not a zip package\n");
  console.Finished(1, Report("b.xlsx", Status::NoLinks));
  EXPECT_EQ(out.str(),
            "failed: a.xlsx: Open: not a zip package\n"
            "unchanged: b.xlsx: no links to other workbooks\n"
            "unchanged: c.xlsx: no links to other workbooks\n");
  EXPECT_EQ(err.str(), "") << "no bar unless asked for";
}

TEST(Console, QuietShowsFailuresOnlyAndTheBarFitsTheTerminalWhateverItsWidth) {
  for (const int columns : {0, 8, 12, 20, 30, 80, 200}) {
    SCOPED_TRACE(columns);
    std::ostringstream out, err;
    Console console(out, err, {.quiet = true, .progress = true, .columns = [&] { return columns; }}, 1234);
    console.Finished(0, Report("a.xlsx", Status::Changed));
    console.Finished(1, Report("b.xlsx", Status::Failed, "backup failed"));
    for (std::size_t i = 2; i < 1234; ++i) console.Finished(i, Report("c.xlsx", Status::NoLinks));
    console.Close();
    EXPECT_EQ(out.str(), "failed: b.xlsx: backup failed\n");
    // No redraw ("\r" ...) may reach the last column, and the last is wiped.
    std::istringstream draws(err.str());
    for (std::string draw; std::getline(draws, draw, '\r');)
      EXPECT_LT(draw.size() - (draw.starts_with("\x1b[K") ? 3 : 0), static_cast<std::size_t>(columns > 0 ? columns : 80)) << draw;
    if (columns == 0 || columns >= 20) { EXPECT_NE(err.str().find("] 13/1234"), std::string::npos); }
    EXPECT_TRUE(err.str().empty() || err.str().ends_with("\r\x1b[K")) << "the bar must not stay on screen";
  }
}

TEST(JsonString, AnyBytesGiveValidJsonThatReadsBack) {
  const std::pair<std::string, std::string> cases[] = {
      {"quote\" back\\slash", "quote\" back\\slash"},
      {"tab\tnew\nline\x01", "tab\tnew\nline\x01"},
      {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x93\x8A", "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x93\x8A"},
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

  const struct {
    fs::path from, to;
    std::string message;
    bool asUser = false;  // root reads and writes anything
  } failures[] = {
      {dir / "missing.xlsx", dir / "new.xlsx", "cannot read"},
      {dir / "folder.xlsx", dir / "new.xlsx", "not a regular file"},
      {"/proc/self/mem", dir / "new.xlsx", "cannot read /proc/self/mem: Input/output error"},  // a read that fails
      {locked, dir / "new.xlsx", "cannot read", true},
      {book, dir / "ro/new.xlsx", "ro/new.xlsx", true},
  };
  for (const auto& c : failures) {
    if (c.asUser && ::geteuid() == 0) continue;
    SCOPED_TRACE(c.from.string() + " to " + c.to.string());
    try {
      copier.Copy(c.from, c.to);
      ADD_FAILURE() << "copied";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"backup.xlsx", "book.xlsx", "copy.xlsx", "dangling.xlsx",
                                                   "folder.xlsx", "locked.xlsx", "ro"}));
  EXPECT_TRUE(fs::is_empty(dir / "ro"));
}
