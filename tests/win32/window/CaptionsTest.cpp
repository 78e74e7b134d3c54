// The window as it looks at 96 and 144 dpi: every caption fits its control,
// measured in the control's own font (a wider stand-in for Arial cut the
// backup box's text and the note off), and the button pictures have an image
// of the size the DPI asks for instead of a stretched one.
#include <windows.h>
#undef Yield
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestWindow.h"
#include "win32/Strings.h"
#include "win32/window/Window.h"

namespace quorvane::testing {
namespace {

// A device context of the control with the control's font selected.
class FontDc {
 public:
  explicit FontDc(HWND control)
      : control_(control), dc_(::GetDC(control)),
        old_(::SelectObject(dc_, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)))) {}
  FontDc(const FontDc&) = delete;
  FontDc& operator=(const FontDc&) = delete;
  ~FontDc() {
    ::SelectObject(dc_, old_);
    ::ReleaseDC(control_, dc_);
  }
  HDC get() const { return dc_; }

 private:
  HWND control_;
  HDC dc_;
  HGDIOBJ old_;
};

// Every child with a caption against the room its kind of control leaves for
// text. A caption on a kind not known here fails, so no control slips past.
void ExpectCaptionsFit(HWND main, int dpi) {
  int checked = 0;
  for (HWND child = ::GetWindow(main, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    const std::wstring text = WindowText(child);
    if (text.empty()) continue;
    FontDc dc(child);
    RECT client{};
    ::GetClientRect(child, &client);
    SIZE room{client.right, client.bottom};
    UINT format = DT_WORDBREAK;
    if (HasClass(child, WC_BUTTONW) && (::GetWindowLongW(child, GWL_STYLE) & BS_PUSHLIKE)) {
      // Inside the frame, below the picture and its margins.
      const int frame = ::GetSystemMetricsForDpi(SM_CXEDGE, dpi) + 1;
      room.cx -= 2 * frame;
      room.cy -= 2 * frame;
      BUTTON_IMAGELIST images{};
      int cx = 0, cy = 0;
      if (::SendMessageW(child, BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)) &&
          ::ImageList_GetIconSize(images.himl, &cx, &cy))
        room.cy -= cy + images.margin.top + images.margin.bottom;
      format |= DT_CENTER;
    } else if (HasClass(child, WC_BUTTONW)) {
      // One line beside the box, half a character away from it.
      TEXTMETRICW metrics{};
      ::GetTextMetricsW(dc.get(), &metrics);
      room.cx -= ::GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi) + metrics.tmAveCharWidth / 2;
      format = DT_SINGLELINE;
    } else if (!HasClass(child, WC_STATICW)) {
      ADD_FAILURE() << "a caption on a control this check does not know: " << win32::Narrow(text);
      continue;
    }
    RECT needed{0, 0, room.cx, 0};
    ::DrawTextW(dc.get(), text.c_str(), -1, &needed, format | DT_EXPANDTABS | DT_CALCRECT);
    wchar_t face[LF_FACESIZE] = {};
    ::GetTextFaceW(dc.get(), LF_FACESIZE, face);
    const std::string where = win32::Narrow(text) + " at " + std::to_string(dpi) + " dpi in " + win32::Narrow(face);
    EXPECT_LE(needed.right, room.cx) << where;
    EXPECT_LE(needed.bottom, room.cy) << where;
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

// The sizes of the images an icon resource holds, from its group directory.
std::vector<int> IconSizes(int id) {
#pragma pack(push, 2)
  struct Directory {
    WORD reserved, type, count;
    struct {
      BYTE width, height, colours, reserved;
      WORD planes, bitCount;
      DWORD bytes;
      WORD id;
    } entries[1];
  };
#pragma pack(pop)
  HMODULE module = ::GetModuleHandleW(nullptr);
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id), RT_GROUP_ICON);
  const auto* directory = found ? static_cast<const Directory*>(::LockResource(::LoadResource(module, found))) : nullptr;
  std::vector<int> sizes;
  for (WORD i = 0; directory && i < directory->count; ++i)
    sizes.push_back(directory->entries[i].width == 0 ? 256 : directory->entries[i].width);
  return sizes;
}

TEST(Looks, CaptionsFitAndPicturesAreDrawnForTheDpi) {
  FakeProgram p;
  HWND main = p.Window().Handle();
  for (int dpi : {96, 144}) {
    RECT outer{};
    ::GetWindowRect(main, &outer);
    ::SendMessageW(main, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&outer));
    ASSERT_EQ(p.Window().Dpi(), dpi);
    ExpectCaptionsFit(main, dpi);
    for (auto id : {win32::ControlId::Check1, win32::ControlId::Check2, win32::ControlId::Check4}) {
      BUTTON_IMAGELIST images{};
      int cx = 0, cy = 0;
      ASSERT_TRUE(::SendMessageW(p.Control(id), BCM_GETIMAGELIST, 0, reinterpret_cast<LPARAM>(&images)));
      ::ImageList_GetIconSize(images.himl, &cx, &cy);
      EXPECT_EQ(cx, ::MulDiv(32, dpi, USER_DEFAULT_SCREEN_DPI)) << dpi;
      EXPECT_EQ(cy, cx) << dpi;
    }
  }
  // Each picture in its own image for 96, 144 and 192 dpi, not stretched to it.
  for (int icon : {win32::kAddFilesIconId, win32::kAddFolderIconId, win32::kRemoveLinksIconId}) {
    const std::vector<int> sizes = IconSizes(icon);
    for (int size : {32, 48, 64})
      EXPECT_TRUE(std::find(sizes.begin(), sizes.end(), size) != sizes.end()) << "icon " << icon << ", " << size;
  }
}

}  // namespace
}  // namespace quorvane::testing
