// The parts of quorvane-cli with logic of their own: the worker pool, the
// in-order console and JSON text.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Json.h"
#include "cli/Console.h"
#include "cli/Parallel.h"
#include "cli/Report.h"

using namespace quorvane::cli;

TEST(RunGroups, EveryPositionOnceGroupsInOrderOneWorkerPerThread) {
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
      // Within a group, the earlier position is already done.
      if (i % 3 != 0) {
        EXPECT_EQ(done[i - 1], 1);
      }
    };
  });
  EXPECT_LE(workers.load(), 4);
  for (std::size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i], 1) << i;
  for (std::size_t g = 0; g < 40; ++g) EXPECT_EQ(doneBy[3 * g], doneBy[3 * g + 2]) << "group " << g << " was split";
}

TEST(RunGroups, AFailingWorkerStopsTheRestAndIsPassedOn) {
  std::vector<std::vector<std::size_t>> groups;
  for (std::size_t g = 0; g < 1000; ++g) groups.push_back({g});
  std::atomic<int> calls{0};
  EXPECT_THROW(RunGroups(groups, 3,
                         [&] {
                           return [&](std::size_t i) {
                             ++calls;
                             if (i == 5) throw std::runtime_error("disk gone");
                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                           };
                         }),
               std::runtime_error);
  EXPECT_LT(calls.load(), 1000);
  // A worker that cannot even be made fails the run the same way.
  EXPECT_THROW(RunGroups(groups, 2, []() -> std::function<void(std::size_t)> { throw std::runtime_error("no engine"); }),
               std::runtime_error);
}

TEST(Console, PrintsInInputOrderWhateverOrderWorkFinishes) {
  std::ostringstream out, err;
  ConsoleSettings settings;
  settings.action = Action::Break;
  Console console(out, err, settings, 3);
  const auto report = [](std::string path, Status status) {
    WorkbookReport r;
    r.path = std::move(path);
    r.status = status;
    if (status == Status::Failed) r.reason = "Open: not a zip package";
    return r;
  };
  console.Finished(2, report("c.xlsx", Status::NoLinks));
  EXPECT_EQ(out.str(), "") << "c must wait for a and b";
  console.Finished(0, report("a.xlsx", Status::Failed));
  EXPECT_EQ(out.str(), "failed: a.xlsx: Open: not a zip package\n");
  console.Finished(1, report("b.xlsx", Status::NoLinks));
  EXPECT_EQ(out.str(),
            "failed: a.xlsx: Open: not a zip package\n"
            "unchanged: b.xlsx: no links to other workbooks\n"
            "unchanged: c.xlsx: no links to other workbooks\n");
  const auto all = console.Close();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].path, "a.xlsx");
  EXPECT_EQ(FormatSummary(all, Action::Break), "3 workbooks: 0 changed, 2 without links, 1 failed");
  EXPECT_EQ(err.str(), "") << "no bar unless asked for";
}

TEST(Console, QuietShowsFailuresOnlyAndTheBarIsClearedAtTheEnd) {
  std::ostringstream out, err;
  ConsoleSettings settings;
  settings.quiet = true;
  settings.progress = true;
  Console console(out, err, settings, 2);
  WorkbookReport ok;
  ok.path = "a.xlsx";
  ok.status = Status::Changed;
  ok.sources.push_back({"/x/src.xlsx", "book", std::nullopt});
  WorkbookReport bad;
  bad.path = "b.xlsx";
  bad.reason = "backup failed, workbook left as it was: cannot read b.xlsx: Permission denied";
  console.Finished(0, ok);
  console.Finished(1, bad);
  console.Close();
  EXPECT_EQ(out.str(), "failed: b.xlsx: " + bad.reason + "\n");
  EXPECT_NE(err.str().find("1/2"), std::string::npos) << err.str();
  EXPECT_EQ(err.str().substr(err.str().size() - 4), "\r\x1b[K") << "the bar must not stay on screen";
}

TEST(Console, TheBarFitsTheTerminalWhateverItsWidth) {
  for (const int columns : {0, 8, 12, 20, 30, 80, 200}) {
    SCOPED_TRACE(columns);
    std::ostringstream out, err;
    Console console(out, err, {.progress = true, .columns = [&] { return columns; }}, 1234);
    WorkbookReport done;
    done.status = Status::NoLinks;
    for (std::size_t i = 0; i < 1234; i += 100) console.Finished(i, done);
    console.Close();
    // No redraw ("\r" ... ) may reach the last column, and the last is wiped.
    std::istringstream draws(err.str());
    for (std::string draw; std::getline(draws, draw, '\r');)
      EXPECT_LT(draw.size() - (draw.starts_with("\x1b[K") ? 3 : 0), static_cast<std::size_t>(columns > 0 ? columns : 80)) << draw;
    if (columns == 0 || columns >= 20) {
      EXPECT_NE(err.str().find("] 13/1234"), std::string::npos) << err.str();
    }
    EXPECT_TRUE(err.str().empty() || err.str().ends_with("\r\x1b[K"));
  }
}

TEST(JsonString, AnyBytesGiveValidJsonThatReadsBack) {
  const struct {
    std::string raw, readBack;
  } cases[] = {
      {"plain/path.xlsx", "plain/path.xlsx"},
      {"quote\" back\\slash", "quote\" back\\slash"},
      {"tab\tnew\nline\x01", "tab\tnew\nline\x01"},
      {"Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x93\x8A", "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x93\x8A"},
      {"latin1 \xE9t\xE9", "latin1 \xEF\xBF\xBDt\xEF\xBF\xBD"},          // not UTF-8
      {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},                   // truncated sequence
      {"overlong \xC0\xAF", "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    const std::string literal = JsonString(c.raw);
    std::string back;
    ASSERT_NO_THROW(back = quorvane::testing::Json::Parse(literal).Text()) << literal;
    EXPECT_EQ(back, c.readBack) << literal;
  }
}
