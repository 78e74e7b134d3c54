// Runs of quorvane-cli under failing resources: a full disk, read-only files
// and folders, workbooks that vanish, crowded folders and non-ASCII paths.
// Each workbook gets its own outcome, the run goes on, and a failed workbook
// is left exactly as it was with nothing beside it.

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <thread>

#include "Support.h"
#include "ooxml/Package.h"
#include "ooxml/Workbook.h"
#include "support/WorkbookBuilder.h"

namespace quorvane::reliability {
namespace {

// The report line of one workbook ("changed: PATH: ..." or "failed: PATH: reason").
std::string LineFor(const std::string& out, const fs::path& path) {
  const std::string key = ": " + path.string() + ": ";
  std::size_t at = out.find(key);
  if (at == std::string::npos) return {};
  const std::size_t begin = out.rfind('\n', at) == std::string::npos ? 0 : out.rfind('\n', at) + 1;
  return out.substr(begin, out.find('\n', at) - begin);
}

// "changed", "failed", ... for one workbook.
std::string Status(const std::string& out, const fs::path& path) {
  const std::string line = LineFor(out, path);
  return line.substr(0, line.find(':'));
}

// A linked workbook of about `kib` KiB that deflate cannot shrink much.
void WriteBigLinkedWorkbook(const fs::path& path, int kib) {
  testing::BookLink link;
  link.target = "Src.xlsx";
  link.sheetNames = {"S"};
  std::string rows;
  std::uint64_t x = 88172645463325252ull;
  for (int r = 1; static_cast<int>(rows.size()) < kib * 1024 * 3; ++r) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\"><f>[1]S!A1*" +
            std::to_string(x % 1000003) + "</f><v>" + std::to_string(x) + "</v></c></row>";
  }
  testing::WorkbookBuilder b;
  b.AddBookLink(link);
  b.AddSheet("Main", rows);
  b.Write(path);
}

class ResourceFaults : public ::testing::Test {
 protected:
  ChildResult Cli(std::vector<std::string> args, ChildLimits limits = {}) {
    args.insert(args.begin(), CliPath());
    return RunProgram(args, limits, capture_.Path());
  }
  static void ExpectOnlyWorkbooks(const ScratchDir& dir, const std::vector<std::string>& names) {
    EXPECT_EQ(dir.Names(), names) << "files were added or removed beside the workbooks";
  }
  ScratchDir capture_{"capture"};
};

TEST_F(ResourceFaults, FullDiskFailsTheWorkbookThatDoesNotFitAndTheRunGoesOn) {
  for (const bool backup : {false, true}) {
    SCOPED_TRACE(backup ? "with backup" : "without backup");
    ScratchDir dir("disk");
    WriteBigLinkedWorkbook(dir / "big.xlsx", 256);
    WriteLinkedWorkbook(dir / "small.xlsx");
    const std::string big = ReadFile(dir / "big.xlsx");
    ASSERT_GT(big.size(), 128u * 1024);

    // Files may not grow past half the big workbook: its backup or its new
    // version fails with EFBIG, the small one fits.
    std::vector<std::string> args{(dir / "big.xlsx").string(), (dir / "small.xlsx").string()};
    if (backup) args.insert(args.begin(), "--backup");
    const ChildResult run = Cli(args, {.fileSize = big.size() / 2});
    EXPECT_EQ(run.exit, 1) << run.err;

    const std::string bigLine = LineFor(run.out, dir / "big.xlsx");
    EXPECT_EQ(Status(run.out, dir / "big.xlsx"), "failed") << run.out;
    std::string lower = bigLine;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(lower.find("file too large"), std::string::npos) << bigLine;
    EXPECT_EQ(ReadFile(dir / "big.xlsx"), big);
    EXPECT_EQ(Status(run.out, dir / "small.xlsx"), "changed") << run.out;
    EXPECT_TRUE(OpensWithoutBookLinks(dir / "small.xlsx"));

    // Only the small workbook's backup may be there besides the two.
    std::size_t extra = 0;
    for (const auto& name : dir.Names()) {
      if (name == "big.xlsx" || name == "small.xlsx") continue;
      ++extra;
      EXPECT_TRUE(backup && name.starts_with("small ")) << "unexpected " << name;
    }
    EXPECT_EQ(extra, backup ? 1u : 0u);
  }
}

// A read-only workbook (refused even for the superuser) and a missing one
// fail with a reason in the middle of a run; the others are done.
TEST_F(ResourceFaults, ReadOnlyAndMissingWorkbooksFailAndTheOthersAreDone) {
  ScratchDir dir("rofile");
  WriteLinkedWorkbook(dir / "a.xlsx");
  WriteLinkedWorkbook(dir / "locked.xlsx");
  WriteLinkedWorkbook(dir / "open.xlsx");
  const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  fs::permissions(dir / "locked.xlsx", readOnly);
  const std::string locked = ReadFile(dir / "locked.xlsx");

  const ChildResult run = Cli({(dir / "a.xlsx").string(), (dir / "locked.xlsx").string(),
                               (dir / "gone.xlsx").string(), (dir / "open.xlsx").string()});
  EXPECT_EQ(run.exit, 1);
  EXPECT_EQ(Status(run.out, dir / "locked.xlsx"), "failed") << run.out;
  EXPECT_NE(LineFor(run.out, dir / "locked.xlsx").find("read-only"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(dir / "locked.xlsx"), locked);
  EXPECT_EQ(fs::status(dir / "locked.xlsx").permissions() & fs::perms::all, readOnly);
  const std::string gone = LineFor(run.out, dir / "gone.xlsx");
  EXPECT_EQ(Status(run.out, dir / "gone.xlsx"), "failed") << run.out;
  EXPECT_GT(gone.size(), ("failed: " + (dir / "gone.xlsx").string() + ": ").size()) << "no reason given";
  EXPECT_EQ(Status(run.out, dir / "a.xlsx"), "changed") << run.out;
  EXPECT_EQ(Status(run.out, dir / "open.xlsx"), "changed") << run.out;
  ExpectOnlyWorkbooks(dir, {"a.xlsx", "locked.xlsx", "open.xlsx"});
}

// Permission bits on folders do not bind the superuser, so the refusal is
// checked as an ordinary user when the test can become one. The build and
// TMPDIR may lie where that user cannot go (a private home or temporary
// folder): the program and the workbooks go under /tmp, open to all.
TEST_F(ResourceFaults, WorkbookInReadOnlyFolderIsRefusedForAnOrdinaryUser) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root to run the tool as another user";
  ScratchDir dir("rodir", "/tmp");
  fs::permissions(dir.Path(), fs::perms::all);
  const fs::path cli = dir / "quorvane-cli";
  fs::copy_file(CliPath(), cli);
  fs::create_directory(dir / "locked");
  fs::create_directory(dir / "open");
  WriteLinkedWorkbook(dir / "locked" / "a.xlsx");
  WriteLinkedWorkbook(dir / "open" / "b.xlsx");
  const std::string before = ReadFile(dir / "locked" / "a.xlsx");
  fs::permissions(dir / "open", fs::perms::all);
  for (const char* file : {"locked/a.xlsx", "open/b.xlsx"}) fs::permissions(dir / file, fs::perms::all);
  fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

  const ChildResult run = RunProgram({cli.string(), (dir / "locked" / "a.xlsx").string(), (dir / "open" / "b.xlsx").string()},
                                     {.user = nobody->pw_uid}, capture_.Path());
  EXPECT_EQ(run.exit, 1) << run.err;
  const std::string line = LineFor(run.out, dir / "locked" / "a.xlsx");
  EXPECT_EQ(Status(run.out, dir / "locked" / "a.xlsx"), "failed") << run.out;
  EXPECT_NE(line.find("permission denied"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(dir / "locked" / "a.xlsx"), before);
  EXPECT_EQ(Status(run.out, dir / "open" / "b.xlsx"), "changed") << run.out;
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir / "locked")) left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"a.xlsx"});
}

// What a file system without RENAME_EXCHANGE answers (network shares, some
// FUSE ones), made so for this process alone.
bool RefuseExchange() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Another program saves the workbook while ours is being saved, as
// spreadsheet programs do (a new file renamed over it, or written into it),
// or deletes it: before our save, as our write starts or just before our
// replace; on this disk and on tmpfs, with and without the exchange. Their
// version must survive and ours be refused; undisturbed, ours is saved.
TEST_F(ResourceFaults, AnotherProgramsSaveDuringOursIsNeverLost) {
  enum When { kNever, kBeforeSave, kWriteStarts, kBeforeReplace };
  const std::pair<When, std::string> cases[] = {
      {kNever, ""},           {kBeforeSave, "rename"},  {kBeforeSave, "delete"},    {kWriteStarts, "rename"},
      {kWriteStarts, "copy"}, {kBeforeReplace, "rename"}, {kBeforeReplace, "copy"}, {kBeforeReplace, "delete"}};
  std::vector<fs::path> places{fs::temp_directory_path()};
  if (::access("/dev/shm", W_OK) == 0) places.push_back("/dev/shm");
  const std::string theirs = "their save, " + std::string(3000, 't');
  for (const auto& place : places) {
    for (const bool exchange : {true, false}) {
      for (const auto& [when, how] : cases) {
        SCOPED_TRACE(place.string() + (exchange ? " exchange " : " no exchange ") + how + " at " + std::to_string(when));
        ScratchDir dir("theirs", place);
        const fs::path path = dir / "book.xlsx";
        WriteLinkedWorkbook(path);
        const auto otherSave = [&](When now) {
          if (now != when) return;
          if (how == "delete") return fs::remove(path), void();
          WriteFile(how == "copy" ? path : dir / "their.tmp", theirs);
          if (how == "rename") fs::rename(dir / "their.tmp", path);
        };
        const ChildResult run = RunChild(
            [&] {
              if (!exchange && !RefuseExchange()) return 3;
              auto package = ooxml::Package::Open(path);
              package.Replace("xl/worksheets/sheet1.xml", "<worksheet/>");
              otherSave(kBeforeSave);
              try {
                package.Save([&](std::uint64_t written) { if (written == 0) otherSave(kWriteStarts); },
                             [&] { otherSave(kBeforeReplace); });
              } catch (const ooxml::PackageError& e) {
                std::printf("%s\n", e.what());
                return std::string(e.what()).find("changed by another program") != std::string::npos ? 1 : 2;
              }
              return 0;
            },
            {}, capture_.Path());
        ASSERT_NE(run.exit, 3) << "no seccomp here";
        EXPECT_EQ(run.exit, when == kNever ? 0 : 1) << run.out;
        if (when == kNever) {
          EXPECT_EQ(ooxml::Package::Open(path).Read("xl/worksheets/sheet1.xml"), "<worksheet/>");
        } else {
          const std::string now = fs::exists(path) ? ReadFile(path) : "(none)";
          EXPECT_TRUE(now == (how == "delete" ? "(none)" : theirs)) << "their save was lost";
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
TEST_F(ResourceFaults, SignalsStopTheRunBetweenWorkbooksAndASecondOneAtOnce) {
  const struct {
    int signal, exit;
    bool twice;
  } cases[] = {{SIGINT, 130, false}, {SIGTERM, 143, false}, {SIGHUP, 129, false}, {SIGINT, 130, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(::strsignal(c.signal)) + (c.twice ? " twice" : ""));
    ScratchDir dir("signal");
    constexpr int kBooks = 80;
    WriteLinkedWorkbook(dir / "b100.xlsx");
    for (int i = 1; i < kBooks; ++i) fs::copy_file(dir / "b100.xlsx", dir / ("b" + std::to_string(100 + i) + ".xlsx"));
    const std::string before = ReadFile(dir / "b100.xlsx");
    fs::remove(capture_ / "child.out");
    const pid_t pid = StartProgram({CliPath(), "--jobs", "1", dir.Path().string()}, capture_.Path());
    for (int waited = 0; ReadFile(capture_ / "child.out").find("changed: ") == std::string::npos && waited < 20000; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::kill(pid, c.signal);
    if (c.twice) ::kill(pid, c.signal);
    EXPECT_EQ(WaitProgram(pid), c.exit);
    const std::string out = ReadFile(capture_ / "child.out");
    std::size_t changed = 0;
    for (int i = 0; i < kBooks; ++i) {
      const fs::path book = dir / ("b" + std::to_string(100 + i) + ".xlsx");
      const bool done = OpensWithoutBookLinks(book);
      changed += done;
      EXPECT_TRUE(done || ReadFile(book) == before) << book << " is neither done nor as it was";
    }
    EXPECT_LT(changed, static_cast<std::size_t>(kBooks)) << "the run was not stopped";
    if (c.twice) continue;
    const std::string summary = std::to_string(changed) + " changed, 0 without links, 0 failed, " +
                                std::to_string(kBooks - changed) + " not started\n";
    EXPECT_NE(out.find(summary), std::string::npos) << out;
    for (const auto& name : dir.Names()) EXPECT_FALSE(IsToolTemporary(name)) << name;
  }
}

// Standard output full or closed (`| head -1`): the run is not cut short;
// it says so on standard error with the summary, and the status says the
// report was lost.
TEST_F(ResourceFaults, FullOrClosedOutputIsSaidAndTheWorkGoesOnToTheEnd) {
  const struct {
    std::string shell, action, summary;  // in the shell "$0" is the program, "$@" its arguments
  } cases[] = {
      {"exec \"$0\" \"$@\" >/dev/full", "--list", "20 workbooks: 20 with links"},
      {"\"$0\" \"$@\" | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}", "--jobs=1", "20 workbooks: 20 changed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shell);
    ScratchDir dir("output");
    for (int i = 0; i < 20; ++i) WriteLinkedWorkbook(dir / ("b" + std::to_string(i) + ".xlsx"));
    const ChildResult run = RunProgram({"/bin/bash", "-c", c.shell, CliPath(), c.action, dir.Path().string()}, {},
                                       capture_.Path());
    EXPECT_EQ(run.exit, 3) << run.err;
    EXPECT_NE(run.err.find("cannot write to standard output"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.summary), std::string::npos) << run.err;
    if (c.action == "--list") continue;
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(OpensWithoutBookLinks(dir / ("b" + std::to_string(i) + ".xlsx"))) << i;
  }
}

TEST_F(ResourceFaults, FolderOfTenThousandEntriesGivesEveryWorkbookAndTouchesNothingElse) {
  ScratchDir dir("crowd");
  for (int i = 0; i < 9990; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "note%05d.txt", i);
    WriteFile(dir / name, "x");
  }
  for (int i = 0; i < 10; ++i) WriteLinkedWorkbook(dir / ("book" + std::to_string(i) + ".xlsx"));
  const ChildResult run = Cli({dir.Path().string()}, {.deadline = std::chrono::seconds(300)});
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.out.find("10 workbooks: 10 changed, 0 without links, 0 failed"), std::string::npos) << run.out;
  const auto names = dir.Names();
  EXPECT_EQ(names.size(), 10000u);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(OpensWithoutBookLinks(dir / ("book" + std::to_string(i) + ".xlsx")));
}

TEST_F(ResourceFaults, NonAsciiPathsWorkWithBackups) {
  ScratchDir dir("intl");
  const fs::path folder = dir / "D\xC3\xA9penses \xE6\x95\xB0\xE6\x8D\xAE";
  fs::create_directory(folder);
  const fs::path book = folder / "B\xC3\xBC" "cher \xE2\x82\xAC 2026.xlsx";
  WriteLinkedWorkbook(book);
  const std::string before = ReadFile(book);

  const ChildResult run = Cli({"--backup", folder.string()});
  EXPECT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_EQ(Status(run.out, book), "changed") << run.out;
  EXPECT_TRUE(OpensWithoutBookLinks(book));
  std::size_t backups = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path() == book) continue;
    ++backups;
    EXPECT_TRUE(entry.path().filename().string().starts_with("B\xC3\xBC" "cher \xE2\x82\xAC 2026 "));
    EXPECT_EQ(ReadFile(entry.path()), before);
  }
  EXPECT_EQ(backups, 1u);
}

}  // namespace
}  // namespace quorvane::reliability
