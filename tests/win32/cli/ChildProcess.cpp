#include "ChildProcess.h"

#include <stdexcept>
#include <thread>

#include "win32/Resource.h"

namespace quorvane::testing {
namespace {

using win32::UniqueHandle;

void Pipe(UniqueHandle& read, UniqueHandle& write) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!::CreatePipe(&r, &w, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  read.reset(r);
  write.reset(w);
  // Only the child's end is inherited, or the pipe would never report its end.
  ::SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);
}

std::string ReadAll(HANDLE pipe) {
  std::string data;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  return data;
}

std::string WithoutCarriageReturns(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

ChildOutcome RunChild(const std::wstring& program, const std::vector<std::wstring>& arguments) {
  std::wstring commandLine = QuoteArgument(program);
  for (const auto& argument : arguments) commandLine += L" " + QuoteArgument(argument);

  UniqueHandle outRead, outWrite, errRead, errWrite;
  Pipe(outRead, outWrite);
  Pipe(errRead, errWrite);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = outWrite.get();
  startup.hStdError = errWrite.get();
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
    throw std::runtime_error("CreateProcessW failed: " + std::to_string(::GetLastError()));
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  outWrite.reset();
  errWrite.reset();

  ChildOutcome outcome;
  std::thread errReader([&] { outcome.err = ReadAll(errRead.get()); });
  outcome.out = ReadAll(outRead.get());
  errReader.join();
  if (::WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 99);
    throw std::runtime_error("the program did not end");
  }
  ::GetExitCodeProcess(process.get(), &outcome.exitCode);
  outcome.out = WithoutCarriageReturns(std::move(outcome.out));
  outcome.err = WithoutCarriageReturns(std::move(outcome.err));
  return outcome;
}

std::wstring OwnFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L"\\/"));
}

}  // namespace quorvane::testing
