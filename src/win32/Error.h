#pragma once
// Win32 and HRESULT failures as exceptions with a one-line reason.

#include <windows.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace quorvane::win32 {

class SystemError : public std::runtime_error {
 public:
  SystemError(long code, const std::string& reason) : std::runtime_error(reason), code_(code) {}
  // A Win32 error code or an HRESULT, whichever the failing call gave.
  long Code() const noexcept { return code_; }

 private:
  long code_;
};

// The system's text for a Win32 error code or HRESULT, on one line.
std::optional<std::string> SystemText(DWORD code);
// SystemText, or "error 0x..." when the system has none.
std::string SystemMessage(DWORD code);
// "0x800A03EC".
std::string HresultHex(HRESULT hr);

[[noreturn]] void ThrowWin32(DWORD code, const std::string& context);
[[noreturn]] void ThrowLastError(const std::string& context);
inline void ThrowIfFailed(HRESULT hr, const std::string& context) {
  if (FAILED(hr)) ThrowWin32(static_cast<DWORD>(hr), context);
}

}  // namespace quorvane::win32
