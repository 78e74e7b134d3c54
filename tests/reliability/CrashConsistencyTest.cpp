// SIGKILL at spread-out moments of a run on a large workbook: afterwards the
// workbook is the original or the finished result, byte for byte; a backup is
// whole or absent; anything else left beside it is one of the tool's own
// temporary files, and the next run in that folder clears those. And that
// clearing: only this tool's names, only files nobody holds, never one
// another process or thread is writing.

#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>

#include "Support.h"
#include "base/AtomicFile.h"

namespace quorvane::reliability {
namespace {

using base::RemoveAbandonedTemporaries;
using base::TemporaryFile;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// Without reaping it.
bool StillRunning(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

// A small workbook without links beside the big one: the next run works on
// it, cheaply, to clear what a killed run left in the folder.
constexpr const char* kOther = "other.xlsx";

class CrashConsistency : public ::testing::Test {
 protected:
  void SetUp() override {
    // The sanitizer build runs several times slower: a smaller workbook keeps
    // the test within its time while the save still takes many writes.
    LinkedBook(AddressSanitizerActive() ? 1024 : 4096).Write(original_);
    originalBytes_ = ReadBytes(original_);
  }

  bool Temporaries() const { return std::ranges::any_of(dir_.Names(), base::IsTemporaryName); }

  // Without a workbook named: on fresh inputs, the big one.
  pid_t Start(const std::vector<std::string>& flags, const char* book = nullptr) {
    if (!book) {
      book = "book.xlsx";
      for (const auto& name : dir_.Names()) fs::remove_all(dir_ / name);
      fs::copy_file(original_, dir_ / book);
      testing::WorkbookBuilder().AddSheet("S", R"(<row r="1"><c r="A1"><v>1</v></c></row>)").Write(dir_ / kOther);
    }
    std::vector<std::string> argv{kCli, "--quiet"};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back((dir_ / book).string());
    return StartProgram(argv);
  }

  // What a killed run left beside the workbook, temporary files aside: a violation, or "".
  std::string Examine() {
    const std::string now = ReadBytes(dir_ / "book.xlsx");
    if (now != originalBytes_ && now != finished_)
      return "workbook is neither the original nor the finished result (" + LinksLeft(dir_ / "book.xlsx") + ")";
    int backups = 0;
    for (const auto& name : dir_.Names()) {
      if (name == "book.xlsx" || name == kOther || base::IsTemporaryName(name)) continue;
      if (++backups, ReadBytes(dir_ / name) != originalBytes_) return "partial or wrong backup " + name;
    }
    return backups > 1 ? "more than one backup" : "";
  }

  // An uninterrupted run, timed to the first sight of the save's temporary
  // file and to its end; then kills at `before` points spread over the run and
  // at `during` points from the moment that file shows up (on a loaded machine
  // fixed delays miss the save). Returns the kills before the end, {before, during}.
  std::pair<int, int> Kill(const std::vector<std::string>& flags, int before, int during, microseconds window = {}) {
    auto start = Clock::now();
    pid_t pid = Start(flags);
    Clock::duration tempAppears{};
    while (StillRunning(pid)) {
      if (tempAppears.count() == 0 && Temporaries()) tempAppears = Clock::now() - start;
      std::this_thread::sleep_for(microseconds(200));
    }
    const auto total = Clock::now() - start;
    EXPECT_EQ(WaitProgram(pid), 0) << "uninterrupted run failed";
    EXPECT_EQ(LinksLeft(dir_ / "book.xlsx"), "");
    EXPECT_FALSE(Temporaries()) << "left by an uninterrupted run";
    finished_ = ReadBytes(dir_ / "book.xlsx");
    EXPECT_GT(tempAppears.count(), 0) << "the save was too short to be seen";
    // Without a given window: the save's measured length and a little more.
    if (window.count() == 0) window = std::chrono::duration_cast<microseconds>(total - tempAppears) * 6 / 5;

    std::pair<int, int> killed{0, 0};
    int reruns = 0;
    for (int i = 0; i < before + during; ++i) {
      const bool fromSave = i >= before;
      const auto span = fromSave ? window : std::chrono::duration_cast<microseconds>(total);
      const int k = fromSave ? i - before : i, n = fromSave ? during : before;
      const microseconds delay = span * (2 * k + 1) / (2 * n);
      SCOPED_TRACE("killed " + std::to_string(delay.count()) + " us after " + (fromSave ? "the save began" : "the start"));
      start = Clock::now();
      pid = Start(flags);
      while (fromSave && !Temporaries() && StillRunning(pid)) std::this_thread::sleep_for(microseconds(100));
      if (fromSave) start = Clock::now();
      std::this_thread::sleep_until(start + delay);
      ::kill(pid, SIGKILL);
      if (WaitProgram(pid) == 128 + SIGKILL) ++(fromSave ? killed.second : killed.first);

      const std::string violation = Examine();
      EXPECT_EQ(violation, "");
      const bool finished = ReadBytes(dir_ / "book.xlsx") == finished_;
      // The next run in the same folder, on another workbook, removes the
      // killed run's temporary files and nothing else.
      EXPECT_EQ(WaitProgram(Start({}, kOther)), 0);
      EXPECT_EQ(Examine(), violation) << "after the next run";
      EXPECT_FALSE(Temporaries()) << "temporary files outlived the next run";
      // The next run completes the job from whatever was left (sampled).
      if (!finished && violation.empty() && reruns++ < 3) {
        EXPECT_EQ(WaitProgram(Start({}, "book.xlsx")), 0);
        EXPECT_EQ(ReadBytes(dir_ / "book.xlsx"), finished_) << "rerun";
      }
    }
    std::printf("[ crash ] %zu bytes, run %.3f s: %d killed before and %d during the save\n", originalBytes_.size(),
                std::chrono::duration<double>(total).count(), killed.first, killed.second);
    return killed;
  }

  ScratchDir dir_{"crash"}, source_{"crash-source"};
  const fs::path original_ = source_ / "book.xlsx";
  std::string originalBytes_, finished_;
};

// Timing on a loaded machine varies and every kill is checked: demand only
// that the save, and the short copy of the backup, were really interrupted.
TEST_F(CrashConsistency, KilledBreakLeavesOriginalOrFinishedWorkbookAndWholeBackupOrNone) {
  EXPECT_GE(Kill({}, 4, 24).second, 1);  // most kills while the save writes
  EXPECT_GE(Kill({"--backup"}, 12, 8, microseconds(4000)).first, 6);
}

TEST(AbandonedTemporaries, OnlyUnheldFilesOfOurOwnShapesAreRemoved) {
  ScratchDir dir("sweep");
  // A killed run's file: the first temporary file of this process in the
  // folder clears it.
  dir.File("~$qv00000000000a.tmp", "killed run");
  TemporaryFile mine(dir.Path());
  mine.Write("mine", 4);
  EXPECT_FALSE(fs::exists(dir / "~$qv00000000000a.tmp"));

  // Being written: by a descriptor holding the lock as a writer does (one in
  // another process holds it the same way), and by mine.
  const int locked = ::open(dir.File("~$qvcccccccccccc.tmp", "locked").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(locked, 0);
  ASSERT_EQ(::flock(locked, LOCK_EX | LOCK_NB), 0);

  // Left by killed runs: the writer's and the older backup copier's shapes.
  dir.File("~$qv0123456789ab.tmp", "partial");
  dir.File(".quorvane-copy.Ab3xY9", "partial");
  // Others' files that merely look alike.
  const std::vector<std::string> lookalikes{
      "~$Book.xlsx",           "~$qvX.tmp",          "~$qv0123456789AB.tmp", "~$qv0123456789abc.tmp",
      "~$qv0123456789a.tmp",   "~$qv0123456789ab.TMP", "~$qv0123456789ab.tmp.xlsx", ".quorvane-copy.Ab3xY",
      ".quorvane-copy.Ab3xY9z", "book.xlsx"};
  for (const auto& name : lookalikes) dir.File(name, "not ours");
  fs::create_directory(dir / "~$qvaaaaaaaaaaaa.tmp");
  fs::create_symlink(dir / "book.xlsx", dir / "~$qvbbbbbbbbbbbb.tmp");

  EXPECT_EQ(RemoveAbandonedTemporaries(dir.Path()), 2u);
  std::vector<std::string> kept = lookalikes;
  kept.insert(kept.end(), {"~$qvaaaaaaaaaaaa.tmp", "~$qvbbbbbbbbbbbb.tmp", "~$qvcccccccccccc.tmp",
                           mine.Path().filename().string()});
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(dir.Names(), kept) << "only the two abandoned ones may go";

  // The writer is unharmed: it still moves its file into place, never over
  // an existing name.
  dir.File("taken.xlsx", "older");
  EXPECT_FALSE(mine.MoveTo(dir / "taken.xlsx", false));
  EXPECT_TRUE(mine.MoveTo(dir / "new.xlsx", false));
  EXPECT_EQ(ReadBytes(dir / "taken.xlsx") + ReadBytes(dir / "new.xlsx"), "oldermine");

  // Once its holder lets go, the locked one is abandoned too.
  ::close(locked);
  EXPECT_EQ(RemoveAbandonedTemporaries(dir.Path()), 1u);
  EXPECT_FALSE(fs::exists(dir / "~$qvcccccccccccc.tmp"));
}

// Threads saving into one folder and sweeping it, as parallel jobs on one
// folder do: every writer must still find its own file.
TEST(AbandonedTemporaries, ConcurrentWritersAndSweepsInOneProcessNeverCollide) {
  ScratchDir dir("sweepthreads");
  std::vector<int> moved(8, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 25; ++i) {
          TemporaryFile temp(dir.Path());
          temp.Write("x", 1);
          RemoveAbandonedTemporaries(dir.Path());
          if (temp.MoveTo(dir / ("out" + std::to_string(t) + "-" + std::to_string(i)), false)) ++moved[t];
        }
      });
    }
  }
  EXPECT_EQ(moved, std::vector<int>(8, 25)) << "a writer lost its file";
  for (const auto& name : dir.Names()) EXPECT_FALSE(base::IsTemporaryName(name)) << name;
}

}  // namespace
}  // namespace quorvane::reliability
