#pragma once
// Runs a program for a test: output captured in files, a deadline, and the
// whole process group killed when it passes (office suites fork helpers).

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/WorkbookBuilder.h"

namespace quorvane::testing {

struct ProcessOutcome {
  int exit = -1;  // 128 + signal when killed; -2 when the deadline passed
  std::string out, err;
};

inline ProcessOutcome RunProcess(std::vector<std::string> argv, const std::filesystem::path& cwd,
                                 const std::filesystem::path& captureBase,
                                 std::chrono::seconds deadline = std::chrono::seconds(120)) {
  const std::string outFile = captureBase.string() + ".out", errFile = captureBase.string() + ".err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    std::vector<char*> raw;
    for (auto& arg : argv) raw.push_back(arg.data());
    raw.push_back(nullptr);
    const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execvp(raw[0], raw.data());
    ::_exit(127);
  }
  ProcessOutcome outcome;
  if (pid < 0) return outcome;
  const auto end = std::chrono::steady_clock::now() + deadline;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > end) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      outcome.exit = -2;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (outcome.exit != -2) outcome.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.out = ReadFileBytes(outFile);
  outcome.err = ReadFileBytes(errFile);
  return outcome;
}

}  // namespace quorvane::testing
