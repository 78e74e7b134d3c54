// quorvane-cli: breaks or lists the links between workbooks from the shell.

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <locale>
#include <memory>
#include <string>
#include <thread>

#include "cli/Cli.h"
#include "cli/PosixFileCopier.h"
#include "filelist/StdDirectoryListing.h"
#include "links/Backup.h"
#include "ooxml/BuiltinExcel.h"

namespace {

// Only the time category follows the environment: the backup stamp wants the
// user's day and month names, while numbers in the report and in the
// engine's parsing must stay classic whatever the locale.
void UseEnvironmentTimeNames() {
  try {
    std::locale::global(std::locale(std::locale::classic(), std::locale(""), std::locale::time));
  } catch (const std::exception&) {
    std::locale::global(std::locale::classic());
  }
}

// libzip turns each entry's DOS time into a time_t with mktime, and glibc
// reads /etc/localtime's status again on every such call while TZ is unset:
// dozens of system calls per workbook. Naming the same default zone once
// (a TZ the user set is kept) makes it read once.
void PinDefaultTimeZone() { ::setenv("TZ", ":/etc/localtime", 0); }

// A write past `ulimit -f` then fails with EFBIG and the workbook it was for
// is reported; a reader that went away (`| head`) gives EPIPE, which the
// report notices, instead of ending the program mid-run without a word.
void FailWritesInsteadOfDying() {
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
}

// Columns of the terminal on standard error (it may be resized meanwhile),
// else what COLUMNS says, else 0 for unknown.
int ErrColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* columns = std::getenv("COLUMNS");
  return columns ? std::atoi(columns) : 0;
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
  }
  return "signal";
}

void Say(const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// SIGINT, SIGTERM and SIGHUP are taken by one thread of their own (blocked
// in every other, so no code runs in a signal handler). The first asks the
// run to stop starting workbooks and to report; a second ends the program
// at once. Nothing is half-written either way: a new file replaces a
// workbook only whole, and a temporary file left by the second is cleared
// by the next run in that folder.
class StopSignals {
 public:
  explicit StopSignals(bool terminal) : terminal_(terminal) {
    sigemptyset(&set_);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
    // Before any other thread starts, so that every one inherits the mask.
    ::pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    std::thread([this] { Wait(); }).detach();
  }
  const std::atomic<int>& Status() const { return status_; }

 private:
  void Wait() {
    for (;;) {
      int signal = 0;
      if (::sigwait(&set_, &signal) != 0) continue;
      const std::string clear = terminal_ ? "\r\x1b[K" : "";
      if (status_.load() != 0) {
        Say(clear + "quorvane-cli: " + SignalName(signal) + " again: stopped at once\n");
        ::_exit(128 + signal);
      }
      status_.store(128 + signal);
      Say(clear + "quorvane-cli: " + SignalName(signal) +
          ": finishing the workbooks under way, starting no others (once more to stop at once)\n");
    }
  }

  bool terminal_;
  sigset_t set_{};
  std::atomic<int> status_{0};
};

}  // namespace

int main(int argc, char** argv) {
  PinDefaultTimeZone();
  UseEnvironmentTimeNames();
  FailWritesInsteadOfDying();
  const bool errIsTerminal = ::isatty(STDERR_FILENO) == 1;
  static StopSignals stop(errIsTerminal);  // its thread outlives main
  quorvane::cli::PosixFileCopier copier;
  quorvane::links::LocaleClock clock;
  quorvane::filelist::StdDirectoryListing listing;
  quorvane::cli::Environment env{
      .out = std::cout,
      .err = std::cerr,
      .copier = copier,
      .clock = clock,
      .listing = listing,
      .errIsTerminal = errIsTerminal,
      .builtin = [] { return std::make_unique<quorvane::ooxml::BuiltinAutomation>(); },
      .excel = {},  // no COM here
      .errColumns = ErrColumns,
      .stopStatus = &stop.Status(),
  };
  return quorvane::cli::RunCli(argc, argv, env);
}
