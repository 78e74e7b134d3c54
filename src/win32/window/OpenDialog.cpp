#include "win32/window/OpenDialog.h"

#include <commdlg.h>

#include <vector>

#include "win32/Error.h"
#include "win32/Strings.h"

namespace quorvane::win32 {

std::wstring DialogFilter(const std::wstring& barSeparated) {
  std::wstring out = barSeparated;
  for (wchar_t& c : out) {
    if (c == L'|') c = L'\0';
  }
  // The list ends with an empty string; a filter without the closing bar
  // still needs it.
  if (out.empty() || out.back() != L'\0') out.push_back(L'\0');
  out.push_back(L'\0');
  return out;
}

std::wstring DialogResult(const wchar_t* buffer, std::size_t size) {
  std::size_t end = 0;
  // A single path ends at the first NUL; a multiple selection at the double one.
  while (end < size && buffer[end] != L'\0') ++end;
  while (end + 1 < size && buffer[end + 1] != L'\0') {
    ++end;
    while (end < size && buffer[end] != L'\0') ++end;
  }
  return std::wstring(buffer, end);
}

filelist::OpenFileDialog::ShowResult Win32OpenDialog::ShowOpen() {
  // The design's MaxFileSize. A larger selection is refused by the dialog
  // (FNERR_BUFFERTOOSMALL) and reported to the core, which tells the user.
  std::vector<wchar_t> buffer(kMaxFileSize, L'\0');
  const std::wstring initial = Widen(fileName_);
  initial.copy(buffer.data(), std::min(initial.size(), buffer.size() - 1));
  const std::wstring filter = DialogFilter(Widen(filter_));
  const std::wstring title = Widen(title_);

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner_;
  ofn.lpstrFilter = filter.c_str();
  ofn.lpstrFile = buffer.data();
  ofn.nMaxFile = static_cast<DWORD>(buffer.size());
  ofn.lpstrTitle = title.empty() ? nullptr : title.c_str();
  ofn.Flags = static_cast<DWORD>(flags_);

  if (::GetOpenFileNameW(&ofn)) {
    fileName_ = Narrow(DialogResult(buffer.data(), buffer.size()));
    return ShowResult::Closed;
  }
  const DWORD error = ::CommDlgExtendedError();
  fileName_.clear();
  if (error == 0) return ShowResult::Closed;  // cancelled
  if (error == FNERR_BUFFERTOOSMALL) return ShowResult::TooLarge;
  throw SystemError(static_cast<long>(error), "the open dialog failed (error " + std::to_string(error) + ")");
}

}  // namespace quorvane::win32
