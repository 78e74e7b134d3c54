// Runs under failing resources: a full disk, a read-only folder, another
// program's save, signals, lost output. A failed workbook is left exactly as
// it was with nothing beside it, and the run goes on.

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstring>
#include <iterator>
#include <tuple>

#include "Support.h"
#include "base/AtomicFile.h"
#include "ooxml/Package.h"

namespace quorvane::reliability {
namespace {

const ScratchDir capture_("capture");

// A workbook that cannot be saved (a full disk, for it or for its backup; a
// read-only folder) fails alone with the reason, is left as it was with
// nothing beside it, and the run goes on.
TEST(ResourceFaults, AWorkbookThatCannotBeSavedFailsAloneAndTheRunGoesOn) {
  const passwd* nobody = ::getpwnam("nobody");
  const std::tuple<std::string, std::string, bool> cases[] = {  // {reason, flag, read-only folder}
      {"too large", "--jobs=1", false}, {"backup failed, workbook left as it was", "--backup", false},
      {"permission denied", "--jobs=1", true}};
  for (const auto& [reason, flag, readOnly] : cases) {
    SCOPED_TRACE(reason);
    // Permission bits on folders do not bind the superuser: the tool runs as
    // an ordinary user then, from /tmp, where that user may go.
    if (readOnly && (::geteuid() != 0 || !nobody)) continue;
    ScratchDir dir("fault", "/tmp");
    fs::permissions(dir.Path(), fs::perms::all);
    const fs::path failing = dir / "a" / "big.xlsx", other = dir / "b" / "small.xlsx";
    LinkedBook(256).Write(failing);
    LinkedBook().Write(other);
    const std::string before = ReadBytes(failing);
    // Files may not grow past half the big workbook: its backup or its new
    // version fails with EFBIG, the small one fits.
    ChildOptions options{.fileSize = before.size() / 2};
    std::vector<std::string> argv{kCli, flag, failing.string(), other.string()};
    if (readOnly) {
      options = {.user = nobody->pw_uid};
      argv[0] = (dir / "quorvane-cli").string();
      fs::copy_file(kCli, argv[0]);
      for (const fs::path& path : {dir / "b", failing, other}) fs::permissions(path, fs::perms::all);
      fs::permissions(dir / "a", fs::perms::all & ~(fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write));
    }
    const ChildResult run = RunProgram(argv, capture_.Path(), options);
    EXPECT_EQ(run.exit, 1) << run.err;
    for (const std::string& said : {"failed: " + failing.string() + ": ", reason, "changed: " + other.string()})
      EXPECT_NE(run.out.find(said), std::string::npos) << run.out;
    EXPECT_EQ(ReadBytes(failing), before);
    EXPECT_EQ(LinksLeft(other), "");
    // Besides the two, only the small workbook's backup.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "a"), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "b"), fs::directory_iterator()), flag == "--backup" ? 2 : 1);
  }
}

// Makes a system call fail with `error` for this process alone, as a file system
// without RENAME_EXCHANGE (network shares, some FUSE ones) or locks answers.
bool Refuse(long call, int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(error)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Another program saves the workbook (a new file renamed over it, or written
// into it) or deletes it, before our save or while we write; on this disk and
// tmpfs, with and without the exchange and locks. Their version must survive
// and ours be refused; undisturbed, ours is saved.
TEST(ResourceFaults, AnotherProgramsSaveDuringOursIsNeverLost) {
  enum When { kNever, kBeforeSave, kBeforeReplace };
  const std::pair<When, std::string> cases[] = {{kNever, ""},          {kBeforeSave, "rename"},   {kBeforeSave, "delete"},
                                                {kBeforeReplace, "rename"}, {kBeforeReplace, "copy"}, {kBeforeReplace, "delete"}};
  std::vector<fs::path> places{fs::temp_directory_path()};
  if (::access("/dev/shm", W_OK) == 0) places.push_back("/dev/shm");
  const std::string theirs = "their save, " + std::string(3000, 't');
  for (const auto& place : places) {
    for (const long refused : {0L, long{__NR_renameat2}, long{__NR_flock}}) {
      for (const auto& [when, how] : cases) {
        SCOPED_TRACE(place.string() + " refused call " + std::to_string(refused) + ": " + how + " at " + std::to_string(when));
        ScratchDir dir("theirs", place);
        const fs::path path = dir / "book.xlsx";
        LinkedBook().Write(path);
        const auto otherSave = [&](When now) {
          if (now != when) return;
          if (how == "delete") return fs::remove(path), void();
          WriteBytes(how == "copy" ? path : dir / "their.tmp", theirs);
          if (how == "rename") fs::rename(dir / "their.tmp", path);
        };
        const ChildResult run = RunFunction(
            [&] {
              if (refused && !Refuse(refused, refused == __NR_flock ? ENOLCK : EINVAL)) return 3;
              auto package = ooxml::Package::Open(path);
              package.Replace("xl/worksheets/sheet1.xml", "<worksheet/>");
              otherSave(kBeforeSave);
              try {
                package.Save({}, [&] { otherSave(kBeforeReplace); });
              } catch (const ooxml::PackageError& e) {
                std::printf("%s\n", e.what());
                return std::string(e.what()).find("changed by another program") != std::string::npos ? 1 : 2;
              }
              return 0;
            },
            capture_.Path());
        ASSERT_NE(run.exit, 3) << "no seccomp here";
        EXPECT_EQ(run.exit, when == kNever ? 0 : 1) << run.out << run.err;
        if (when == kNever) {
          EXPECT_EQ(ooxml::Package::Open(path).Read("xl/worksheets/sheet1.xml"), "<worksheet/>");
        } else {
          EXPECT_EQ(fs::exists(path) ? ReadBytes(path) : "(none)", how == "delete" ? "(none)" : theirs) << "their save was lost";
        }
        for (const auto& name : dir.Names()) EXPECT_EQ(name, "book.xlsx") << "left beside it";
      }
    }
  }
}

// Ctrl-C, SIGTERM, SIGHUP: the workbook under way is finished, no other is
// started, the report says which were not, and the status says which
// signal; a second one ends the program at once. Either way every workbook
// is either done or as it was.
TEST(ResourceFaults, SignalsStopTheRunBetweenWorkbooksAndASecondOneAtOnce) {
  const std::tuple<int, int, bool> cases[] = {{SIGINT, 130, false}, {SIGTERM, 143, false}, {SIGHUP, 129, false},
                                              {SIGINT, 130, true}};  // {signal, exit status, sent twice}
  constexpr int kBooks = 80;
  for (const auto& [sig, status, twice] : cases) {
    SCOPED_TRACE(std::string(::strsignal(sig)) + (twice ? " twice" : ""));
    ScratchDir dir("signal");
    const auto book = [&](int i) { return dir / ("b" + std::to_string(100 + i) + ".xlsx"); };
    LinkedBook().Write(book(0));
    for (int i = 1; i < kBooks; ++i) fs::copy_file(book(0), book(i));
    const std::string before = ReadBytes(book(0));
    const auto out = [&] { return fs::exists(capture_ / "child.out") ? ReadBytes(capture_ / "child.out") : ""; };
    fs::remove(capture_ / "child.out");
    const pid_t pid = StartProgram({kCli, "--jobs", "1", dir.Path().string()}, capture_.Path());
    for (int waited = 0; waited < 20000 && out().find("changed: ") == std::string::npos; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(pid, sig);
    if (twice) ::kill(pid, sig);
    EXPECT_EQ(WaitProgram(pid), status);
    int changed = 0;
    for (int i = 0; i < kBooks; ++i) {
      const bool done = LinksLeft(book(i)).empty();
      changed += done;
      EXPECT_TRUE(done || ReadBytes(book(i)) == before) << book(i) << " is neither done nor as it was";
    }
    EXPECT_LT(changed, kBooks) << "the run was not stopped";
    if (twice) continue;
    const std::string summary = std::to_string(changed) + " changed, 0 without links, 0 failed, " +
                                std::to_string(kBooks - changed) + " not started\n";
    EXPECT_NE(out().find(summary), std::string::npos) << out();
    for (const auto& name : dir.Names()) EXPECT_FALSE(base::IsTemporaryName(name)) << name;
  }
}

// Standard output closed (a reader that left; a full disk under a redirected
// report fails the same way): the run goes on to the end, says so and why on
// standard error with the summary, and its status says the report was lost.
TEST(ResourceFaults, ClosedOutputIsSaidAndTheWorkGoesOnToTheEnd) {
  ScratchDir dir("output");
  for (int i = 0; i < 20; ++i) LinkedBook().Write(dir / ("b" + std::to_string(i) + ".xlsx"));
  // The reader is gone before the first line (with `| head -n 1` a fast run
  // could fit its whole report in the pipe before head left); "$0" is the program.
  const std::string shell = "{ sleep 1; \"$0\" \"$@\"; } | true; exit ${PIPESTATUS[0]}";
  const ChildResult run =
      RunProgram({"/bin/bash", "-c", shell, kCli, "--jobs=1", dir.Path().string()}, capture_.Path());
  EXPECT_EQ(run.exit, 3) << run.err;
  EXPECT_NE(run.err.find("cannot write to standard output (" + std::string(std::strerror(EPIPE)) + ")"),
            std::string::npos) << run.err;
  EXPECT_NE(run.err.find("20 workbooks: 20 changed"), std::string::npos) << run.err;
  for (int i = 0; i < 20; ++i) EXPECT_EQ(LinksLeft(dir / ("b" + std::to_string(i) + ".xlsx")), "") << i;
}

}  // namespace
}  // namespace quorvane::reliability
