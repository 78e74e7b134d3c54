#include "win32/MessageBoxes.h"

#include "win32/Strings.h"

namespace quorvane::win32 {

app::MessageAnswer Win32MessageBoxes::Show(const std::string& text, app::MessageButtons buttons) {
  const bool question = buttons == app::MessageButtons::YesNo;
  const std::wstring caption = Widen(app::kAppTitle);
  const UINT type = MB_APPLMODAL | (question ? MB_YESNO : MB_OK);
  const int answer = ::MessageBoxW(owner_, Widen(text).c_str(), caption.c_str(), type);
  if (!question) return app::MessageAnswer::Ok;
  return answer == IDYES ? app::MessageAnswer::Yes : app::MessageAnswer::No;
}

}  // namespace quorvane::win32
