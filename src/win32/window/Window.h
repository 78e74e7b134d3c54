#pragma once
// The main window: creates the controls at their design places, mirrors the
// Form1 model on them, and turns the user's input into the model's handlers.

#include <windows.h>
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield
#include <commctrl.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "app/Form1.h"
#include "win32/Resource.h"
#include "win32/window/Controls.h"
#include "win32/window/DropTarget.h"
#include "win32/window/Layout.h"
#include "win32/window/ListViewHost.h"

namespace quorvane::win32 {

inline constexpr const wchar_t* kWindowClass = L"QuorvaneMainWindow";
// Resource ids of the icons, shared with the resource script.
inline constexpr int kAppIconId = 1;
inline constexpr int kAddFilesIconId = 101;
inline constexpr int kAddFolderIconId = 102;
inline constexpr int kRemoveLinksIconId = 103;

struct WindowOptions {
  // The program ends its message loop when the window goes; a test that
  // makes several windows in one thread does not want the WM_QUIT.
  bool quitOnDestroy = true;
};

class MainWindow final : public app::WindowHost {
 public:
  explicit MainWindow(WindowOptions options = {});
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;
  ~MainWindow() override;

  // Creates the window and its controls (hidden), binds them to the model,
  // runs Form_Load and shows the window. Throws SystemError.
  void Create(app::Form1& form);
  // Destroys the window and lets go of the model; due before the model goes.
  void Destroy();

  HWND Handle() const { return hwnd_; }
  // For the services made before the window: read when they are used.
  const HWND& HandleRef() const { return hwnd_; }
  const bool& EndingRef() const { return ending_; }
  HWND Control(ControlId id) const;
  bool Busy() const { return busy_; }
  int Dpi() const { return dpi_; }
  IDropTarget* DropTarget() const { return dropTarget_.get(); }
  // The list control as the model's reorder handlers see it; usable before
  // the window exists.
  ListViewHost& ListHost() { return listHost_; }

  // app::WindowHost
  float ScreenWidth() override;
  float ScreenHeight() override;
  float Width() override;
  float Height() override;
  void SetLeft(float left) override;
  void SetTop(float top) override;
  void SetCaption(const std::string& caption) override;
  std::string AppPath() override;
  void LoadMouseIcon(const std::string& file) override;
  void SetupListColumn(const std::string& header, int widthTwips) override;
  void SetProgressBarBackColor(unsigned colour) override;
  void End() override;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

  void CreateControls();
  void ApplyDpi(int dpi);
  void SetButtonImage(ControlId id, int iconId);
  void Bind();
  void OnCommand(int id, int code, HWND control);
  void OnCheckClicked(ControlId id, HWND control);
  LRESULT OnNotify(const NMHDR& header);
  bool OnSetCursor(HWND over, int hitTest);
  HCURSOR CursorFor(HWND over) const;
  void RefreshCursor();
  void OnDpiChanged(int dpi, const RECT& suggested);
  void OnDestroy();
  base::CheckBox* CheckFor(ControlId id) const;
  bool Accepting() const { return !busy_ && !ending_ && form_ != nullptr; }

  WindowOptions options_;
  HWND hwnd_ = nullptr;
  app::Form1* form_ = nullptr;
  int dpi_ = USER_DEFAULT_SCREEN_DPI;
  bool busy_ = false;    // the synchronous run is working
  bool ending_ = false;  // the window is being destroyed
  HWND lastFocus_ = nullptr;

  std::array<HWND, kDesign.size()> controls_{};
  HWND tooltip_ = nullptr;
  UniqueHfont smallFont_;
  UniqueHfont largeFont_;
  UniqueHcursor handCursor_;  // from HAND-M.CUR
  struct ImageListDeleter {
    void operator()(HIMAGELIST list) const noexcept { ::ImageList_Destroy(list); }
  };
  std::array<std::unique_ptr<std::remove_pointer_t<HIMAGELIST>, ImageListDeleter>, 3> buttonImages_;
  std::array<Subclass, 3> buttonHover_;  // Check1, Check2, Check4

  ListViewHost listHost_;
  ComPtr<IDropTarget> dropTarget_;
  bool dropRegistered_ = false;
};

}  // namespace quorvane::win32
