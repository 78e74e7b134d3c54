#pragma once
// Starts a program with arguments and collects its exit code and output.

#include <windows.h>

#include <string>
#include <vector>

namespace quorvane::testing {

struct ChildOutcome {
  DWORD exitCode = 0;
  std::string out;  // bytes as written, "\r\n" turned into "\n"
  std::string err;
};

// One argument quoted so that CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);

// Runs `program` with `arguments`; standard output and error come back
// through pipes. Throws std::runtime_error when it cannot be started, or
// when it closes its output but does not end.
ChildOutcome RunChild(const std::wstring& program, const std::vector<std::wstring>& arguments);

// The folder of this test program.
std::wstring OwnFolder();

}  // namespace quorvane::testing
