#include "win32/Error.h"

#include <cstdio>

#include "win32/Strings.h"

namespace quorvane::win32 {

std::string HresultHex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

std::optional<std::string> SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  // System texts end in ".\r\n" and some span lines; the reason is one line.
  for (auto& c : text)
    if (c == L'\r' || c == L'\n') c = L' ';
  while (!text.empty() && (text.back() == L' ' || text.back() == L'.')) text.pop_back();
  if (text.empty()) return std::nullopt;
  try {
    return Narrow(text);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string SystemMessage(DWORD code) {
  return SystemText(code).value_or("error " + HresultHex(static_cast<HRESULT>(code)));
}

void ThrowWin32(DWORD code, const std::string& context) {
  throw SystemError(static_cast<long>(code), context + ": " + SystemMessage(code));
}

void ThrowLastError(const std::string& context) { ThrowWin32(::GetLastError(), context); }

}  // namespace quorvane::win32
