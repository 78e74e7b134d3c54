#include "win32/window/Shell.h"

#include <windows.h>

#include <vector>

#include "win32/Error.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane::win32 {

void Win32FileDates::LastModified(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data))
    ThrowLastError("file date of " + path);
}

namespace {

// The window styles of the runtime's Shell, as SW_ values.
WORD ShowCommand(int windowStyle) {
  switch (windowStyle) {
    case 0: return SW_HIDE;
    case 1: return SW_SHOWNORMAL;
    case 2: return SW_SHOWMINIMIZED;
    case 3: return SW_SHOWMAXIMIZED;
    case 4: return SW_SHOWNOACTIVATE;
    case 6: return SW_SHOWMINNOACTIVE;
    default: return SW_SHOWMINIMIZED;
  }
}

}  // namespace

void Win32ProgramStarter::Shell(const std::string& commandLine, int windowStyle) {
  std::wstring text = Widen(commandLine);
  // CreateProcessW may write into the command line; give it a buffer of its own.
  std::vector<wchar_t> buffer(text.begin(), text.end());
  buffer.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = ShowCommand(windowStyle);
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    ThrowLastError("start " + commandLine);
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
}

std::optional<int> Win32ScreenCursor::CursorY() const {
  POINT point{};
  if (!::GetCursorPos(&point)) return std::nullopt;
  return point.y;
}

}  // namespace quorvane::win32
