// Clearing abandoned temporary files: only this tool's own names, only files
// nobody holds, and never the one another process or thread is writing.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Support.h"
#include "base/AtomicFile.h"

namespace quorvane::reliability {
namespace {

using base::RemoveAbandonedTemporaries;
using base::TemporaryFile;

// A forked process that writes a temporary file in folder and holds it
// until it is killed.
class WriterProcess {
 public:
  explicit WriterProcess(const fs::path& folder) {
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      try {
        TemporaryFile temp(folder);
        temp.Write("content", 7);
        const std::string name = temp.Path().filename().string();
        if (::write(ready[1], name.data(), name.size()) == static_cast<ssize_t>(name.size())) ::pause();
      } catch (...) {
      }
      ::_exit(1);
    }
    ::close(ready[1]);
    char buffer[64];
    const ssize_t n = ::read(ready[0], buffer, sizeof buffer);
    ::close(ready[0]);
    if (n > 0) name_.assign(buffer, static_cast<std::size_t>(n));
  }
  WriterProcess(const WriterProcess&) = delete;
  WriterProcess& operator=(const WriterProcess&) = delete;
  ~WriterProcess() { Kill(); }
  const std::string& Name() const { return name_; }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    WaitProgram(pid_);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

TEST(AbandonedTemporaries, OnlyUnheldFilesOfOurOwnShapesAreRemoved) {
  ScratchDir dir("sweep");
  // Being written: by another process, by a writer of this very process,
  // and (below) by a descriptor holding the lock as a writer does. Writers
  // sweep the folder when they start, so they come first here.
  WriterProcess other(dir.Path());
  ASSERT_TRUE(base::IsTemporaryName(other.Name())) << other.Name();
  std::optional<TemporaryFile> mine;
  mine.emplace(dir.Path());
  mine->Write("mine", 4);
  WriteFile(dir / "~$qvcccccccccccc.tmp", "locked");
  const int locked = ::open((dir / "~$qvcccccccccccc.tmp").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(locked, 0);
  ASSERT_EQ(::flock(locked, LOCK_EX | LOCK_NB), 0);

  // Left by killed runs: the writer's and the older backup copier's shapes.
  WriteFile(dir / "~$qv0123456789ab.tmp", "partial");
  WriteFile(dir / ".quorvane-copy.Ab3xY9", "partial");
  // Others' files that merely look alike.
  const std::vector<std::string> lookalikes{
      "~$Book.xlsx",           "~$qvX.tmp",          "~$qv0123456789AB.tmp", "~$qv0123456789abc.tmp",
      "~$qv0123456789a.tmp",   "~$qv0123456789ab.TMP", "~$qv0123456789ab.tmp.xlsx", ".quorvane-copy.Ab3xY",
      ".quorvane-copy.Ab3xY9z", "book.xlsx"};
  for (const auto& name : lookalikes) WriteFile(dir / name, "not ours");
  fs::create_directory(dir / "~$qvaaaaaaaaaaaa.tmp");
  fs::create_symlink(dir / "book.xlsx", dir / "~$qvbbbbbbbbbbbb.tmp");

  EXPECT_EQ(RemoveAbandonedTemporaries(dir.Path()), 2u);
  for (const auto& name : lookalikes) EXPECT_EQ(ReadFile(dir / name), "not ours") << name;
  EXPECT_TRUE(fs::is_directory(dir / "~$qvaaaaaaaaaaaa.tmp"));
  EXPECT_TRUE(fs::is_symlink(dir / "~$qvbbbbbbbbbbbb.tmp"));
  EXPECT_FALSE(fs::exists(dir / "~$qv0123456789ab.tmp"));
  EXPECT_FALSE(fs::exists(dir / ".quorvane-copy.Ab3xY9"));
  EXPECT_EQ(ReadFile(dir / other.Name()), "content");
  EXPECT_TRUE(fs::exists(dir / "~$qvcccccccccccc.tmp"));
  EXPECT_TRUE(fs::exists(mine->Path()));

  // The writer is unharmed: it still moves its file into place, never over
  // an existing name unless told to replace it.
  WriteFile(dir / "taken.xlsx", "older");
  EXPECT_FALSE(mine->MoveTo(dir / "taken.xlsx", false));
  EXPECT_EQ(ReadFile(dir / "taken.xlsx"), "older");
  EXPECT_TRUE(mine->MoveTo(dir / "taken.xlsx", true));
  mine.reset();
  EXPECT_EQ(ReadFile(dir / "taken.xlsx"), "mine");

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

TEST(AbandonedTemporaries, KilledWriterLeavesAFileTheNextWriterClears) {
  ScratchDir dir("sweepkill");
  WriterProcess killed(dir.Path());
  ASSERT_FALSE(killed.Name().empty());
  killed.Kill();
  ASSERT_TRUE(fs::exists(dir / killed.Name()));
  // The first temporary file in a folder sweeps it.
  TemporaryFile next(dir.Path());
  EXPECT_FALSE(fs::exists(dir / killed.Name()));
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
