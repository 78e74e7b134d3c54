// The save's own files: abandoned temporary files are cleared (only this
// tool's names, only files nobody holds, never one another process or
// thread is writing).

#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <optional>

#include "Support.h"
#include "base/AtomicFile.h"

namespace quorvane::reliability {
namespace {

using base::RemoveAbandonedTemporaries;
using base::TemporaryFile;

TEST(AbandonedTemporaries, OnlyUnheldFilesOfOurOwnShapesAreRemoved) {
  ScratchDir dir("sweep");
  // A killed run's file: the first temporary file of this process in the
  // folder clears it.
  dir.File("~$qv00000000000a.tmp", "killed run");
  std::optional<TemporaryFile> mine;
  mine.emplace(dir.Path());
  mine->Write("mine", 4);
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
                           mine->Path().filename().string()});
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(dir.Names(), kept) << "only the two abandoned ones may go";
  for (const auto& name : lookalikes) EXPECT_EQ(ReadBytes(dir / name), "not ours") << name;

  // The writer is unharmed: it still moves its file into place, never over
  // an existing name unless told to replace it.
  dir.File("taken.xlsx", "older");
  EXPECT_FALSE(mine->MoveTo(dir / "taken.xlsx", false));
  EXPECT_EQ(ReadBytes(dir / "taken.xlsx"), "older");
  EXPECT_TRUE(mine->MoveTo(dir / "taken.xlsx", true));
  mine.reset();
  EXPECT_EQ(ReadBytes(dir / "taken.xlsx"), "mine");

  // Once its holder lets go, the locked one is abandoned too.
  ::close(locked);
  EXPECT_EQ(RemoveAbandonedTemporaries(dir.Path()), 1u);
  EXPECT_FALSE(fs::exists(dir / "~$qvcccccccccccc.tmp"));

  // One dropped unmoved leaves nothing.
  const auto names = dir.Names();
  {
    TemporaryFile dropped(dir.Path());
    dropped.Write("gone", 4);
  }
  EXPECT_EQ(dir.Names(), names);
}

TEST(AbandonedTemporaries, ConcurrentWritersAndSweepsInOneProcessNeverCollide) {
  // Threads saving into one folder while others sweep it, as parallel jobs
  // on one folder do: every writer must still find its own file.
  ScratchDir dir("sweepthreads");
  std::vector<std::thread> threads;
  std::vector<int> moved(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        if (t % 2 == 0) {
          RemoveAbandonedTemporaries(dir.Path());
          continue;
        }
        TemporaryFile temp(dir.Path());
        temp.Write("x", 1);
        RemoveAbandonedTemporaries(dir.Path());
        if (temp.MoveTo(dir / ("out" + std::to_string(t) + "-" + std::to_string(i)), false)) ++moved[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 1; t < 8; t += 2) EXPECT_EQ(moved[t], 25) << "writer thread " << t;
  for (const auto& name : dir.Names()) EXPECT_FALSE(base::IsTemporaryName(name)) << name;
}

}  // namespace
}  // namespace quorvane::reliability
