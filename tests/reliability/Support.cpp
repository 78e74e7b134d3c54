#include "Support.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "base/AtomicFile.h"
#include "ooxml/Workbook.h"
#include "support/WorkbookBuilder.h"

#ifndef __has_feature
#define __has_feature(x) 0
#endif

namespace quorvane::reliability {

bool AddressSanitizerActive() {
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
}

namespace {

// Only async-signal-safe calls between fork and exec or _exit.
void ApplyLimits(const ChildLimits& limits) {
  if (limits.fileSize) {
    const rlimit lim{*limits.fileSize, *limits.fileSize};
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(125);
  }
  if (limits.addressSpace && !AddressSanitizerActive()) {
    const rlimit lim{*limits.addressSpace, *limits.addressSpace};
    if (::setrlimit(RLIMIT_AS, &lim) != 0) ::_exit(125);
  }
  if (limits.user) {
    if (::setgid(*limits.user) != 0 || ::setuid(*limits.user) != 0) ::_exit(125);
  }
}

ChildResult Wait(pid_t pid, const ChildLimits& limits, const fs::path& captureDir) {
  ChildResult result;
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + limits.deadline;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "wait4");
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::wait4(pid, &status, 0, &usage);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.maxRssKiB = usage.ru_maxrss;
  if (WIFEXITED(status)) result.exit = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = ReadFile(captureDir / "child.out");
  result.err = ReadFile(captureDir / "child.err");
  return result;
}

// Only async-signal-safe calls in the child before exec or _exit: the
// arguments are prepared here.
pid_t Fork(const ChildLimits& limits, const fs::path& out, const fs::path& err, const std::function<void()>& body) {
  const std::string o = out.string(), e = err.string();
  std::fflush(nullptr);  // else the child writes our buffered output again
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    const int ofd = ::open(o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int efd = ::open(e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (ofd < 0 || efd < 0) ::_exit(126);
    ::dup2(ofd, 1);
    ::dup2(efd, 2);
    ApplyLimits(limits);
    body();
    ::_exit(127);
  }
  return pid;
}

pid_t Exec(const std::vector<std::string>& argv, const ChildLimits& limits, const fs::path& out, const fs::path& err) {
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (auto& a : args) raw.push_back(a.data());
  raw.push_back(nullptr);
  return Fork(limits, out, err, [&] {
    // As a shell leaves them: what the program does about a full pipe or a
    // file-size limit is its own business.
    ::signal(SIGXFSZ, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(raw[0], raw.data());
  });
}

}  // namespace

ChildResult RunChild(const std::function<int()>& body, const ChildLimits& limits, const fs::path& captureDir) {
  const pid_t pid = Fork(limits, captureDir / "child.out", captureDir / "child.err", [&] {
    ::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG
    int code = 124;
    try {
      code = body();
    } catch (...) {
    }
    std::fflush(nullptr);
    ::_exit(code);
  });
  return Wait(pid, limits, captureDir);
}

ChildResult RunProgram(const std::vector<std::string>& argv, const ChildLimits& limits, const fs::path& captureDir) {
  return Wait(Exec(argv, limits, captureDir / "child.out", captureDir / "child.err"), limits, captureDir);
}

pid_t StartProgram(const std::vector<std::string>& argv, const fs::path& captureDir) {
  if (captureDir.empty()) return Exec(argv, {}, "/dev/null", "/dev/null");
  return Exec(argv, {}, captureDir / "child.out", captureDir / "child.err");
}

int WaitProgram(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool IsToolTemporary(const fs::path& name) {
  return base::IsTemporaryName(name) || name.filename().string().starts_with(".quorvane-copy.");
}

ScratchDir::ScratchDir(const std::string& label, const fs::path& parent) {
  std::string pattern = ((parent.empty() ? fs::temp_directory_path() : parent) / ("quorvane-" + label + ".XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // A test may have left it read-only.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::vector<std::string> ScratchDir::Names() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::filesystem::path CachedWorkbook(const std::string& preset, const std::vector<std::string>& shape) {
#ifdef QUORVANE_GENERATE
  const fs::path cache = QUORVANE_RELIABILITY_CACHE;
  std::string key = preset + "-7";
  for (const auto& option : shape) key += (option.starts_with("--") ? "" : "-") + option.substr(option.find_first_not_of('-'));
  const fs::path file = cache / (key + ".xlsx");
  if (fs::exists(file)) return file;
  // Test processes run in parallel: each generates privately, the first
  // rename wins and all get the same bytes.
  const fs::path own = cache / ("gen." + std::to_string(::getpid()));
  fs::create_directories(own);
  std::vector<std::string> argv{QUORVANE_GENERATE, "--preset", preset, "--seed", "7", "--out", own.string()};
  argv.insert(argv.end(), shape.begin(), shape.end());
  const ChildResult made = RunProgram(argv, {.deadline = std::chrono::minutes(5)}, own);
  std::error_code ec;
  if (made.exit == 0) fs::rename(own / (preset + ".xlsx"), file, ec);
  fs::remove_all(own, ec);
  return fs::exists(file) ? file : fs::path();
#else
  (void)preset;
  (void)shape;
  return {};
#endif
}

namespace {

testing::WorkbookBuilder LinkedBuilder() {
  testing::BookLink one, two;
  one.target = "One.xlsx";
  one.sheetNames = {"S"};
  one.sheetDataSet = R"(<sheetData sheetId="0"><row r="1"><cell r="A1"><v>4</v></cell></row></sheetData>)";
  two.target = "sub/Two.xlsx";
  two.sheetNames = {"S"};
  testing::WorkbookBuilder b;
  b.AddBookLink(one).AddBookLink(two);
  b.AddSheet("Main", R"(<row r="1"><c r="A1"><f>[1]S!A1*2</f><v>8</v></c><c r="B1"><f>[2]S!B2</f><v>5</v></c>)"
                     R"(<c r="C1"><f>A1+B1</f><v>13</v></c></row>)");
  b.AddName("Rate", "[1]S!$A$1");
  return b;
}

}  // namespace

void WriteLinkedWorkbook(const std::filesystem::path& path) { LinkedBuilder().Write(path); }

std::map<std::string, std::string> LinkedWorkbookParts() { return LinkedBuilder().Parts(); }

bool OpensWithoutBookLinks(const std::filesystem::path& path, std::string* why) {
  try {
    const auto book = ooxml::Workbook::Open(path);
    if (!book.BookSources().empty()) {
      if (why) *why = std::to_string(book.BookSources().size()) + " book links left";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    if (why) *why = e.what();
    return false;
  }
}

std::string CliPath() { return QUORVANE_CLI; }

}  // namespace quorvane::reliability
