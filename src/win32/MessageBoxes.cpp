#include "win32/MessageBoxes.h"

#include "win32/Strings.h"

namespace quorvane::win32 {

base::MessageAnswer Win32MessageBoxes::Show(const std::string& text, base::MessageButtons buttons) {
  const bool question = buttons == base::MessageButtons::YesNo;
  const std::wstring caption = Widen(base::kAppTitle);
  const UINT type = MB_APPLMODAL | (question ? MB_YESNO : MB_OK);
  const int answer = ::MessageBoxW(owner_, Widen(text).c_str(), caption.c_str(), type);
  if (!question) return base::MessageAnswer::Ok;
  return answer == IDYES ? base::MessageAnswer::Yes : base::MessageAnswer::No;
}

}  // namespace quorvane::win32
