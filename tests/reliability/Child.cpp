#include "Child.h"

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

#include "ooxml/AtomicFile.h"

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
    ::signal(SIGXFSZ, SIG_IGN);
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

pid_t Fork(const ChildLimits& limits, const fs::path& captureDir, const std::function<void()>& body) {
  const std::string out = (captureDir / "child.out").string(), err = (captureDir / "child.err").string();
  std::fflush(nullptr);  // else the child writes our buffered output again
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0) ::_exit(126);
    ::dup2(o, 1);
    ::dup2(e, 2);
    ApplyLimits(limits);
    body();
    ::_exit(127);
  }
  return pid;
}

}  // namespace

ChildResult RunChild(const std::function<int()>& body, const ChildLimits& limits, const fs::path& captureDir) {
  const pid_t pid = Fork(limits, captureDir, [&] {
    int code = 0;
    try {
      code = body();
    } catch (...) {
      code = 124;
    }
    std::fflush(nullptr);
    ::_exit(code);
  });
  return Wait(pid, limits, captureDir);
}

ChildResult RunProgram(const std::vector<std::string>& argv, const ChildLimits& limits, const fs::path& captureDir) {
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (auto& a : args) raw.push_back(a.data());
  raw.push_back(nullptr);
  const pid_t pid = Fork(limits, captureDir, [&] { ::execv(raw[0], raw.data()); });
  return Wait(pid, limits, captureDir);
}

pid_t StartProgram(const std::vector<std::string>& argv) {
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (auto& a : args) raw.push_back(a.data());
  raw.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  return pid;
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
  return ooxml::IsTemporaryName(name) || name.filename().string().starts_with(".quorvane-copy.");
}

ScratchDir::ScratchDir(const std::string& label) {
  std::string pattern = (fs::temp_directory_path() / ("quorvane-" + label + ".XXXXXX")).string();
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

}  // namespace quorvane::reliability
