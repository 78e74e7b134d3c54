#include "win32/window/Window.h"

#include <uxtheme.h>
#include <windowsx.h>

#include <cmath>
#include <exception>

#include "filelist/Drop.h"
#include "win32/Error.h"
#include "win32/Strings.h"
#include "win32/window/MessagePump.h"

namespace quorvane::win32 {

namespace {

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;
constexpr COLORREF kRed = RGB(255, 0, 0);
// The bar works in hundredths so fractional values such as 33.33 show.
constexpr int kProgressScale = 100;

std::size_t Slot(ControlId id) {
  for (std::size_t i = 0; i < kDesign.size(); ++i) {
    if (kDesign[i].id == id) return i;
  }
  return 0;
}

// Sets a flag for one scope, also when the handler throws.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;
  ~FlagScope() { flag_ = false; }

 private:
  bool& flag_;
};

void RegisterWindowClass(HINSTANCE instance, WNDPROC proc) {
  WNDCLASSEXW wc{};
  if (::GetClassInfoExW(instance, kWindowClass, &wc)) return;
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(kAppIconId));
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH));
  wc.lpszClassName = kWindowClass;
  if (!::RegisterClassExW(&wc)) ThrowLastError("register the window class");
}

}  // namespace

MainWindow::MainWindow(WindowOptions options) : options_(options) {}

MainWindow::~MainWindow() { Destroy(); }

void MainWindow::Destroy() {
  if (hwnd_) ::DestroyWindow(hwnd_);
  listHost_.Unbind();
  form_ = nullptr;
}

HWND MainWindow::Control(ControlId id) const { return controls_[Slot(id)]; }

void MainWindow::Create(app::Form1& form) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  RegisterWindowClass(instance, &MainWindow::Proc);
  form_ = &form;
  hwnd_ = ::CreateWindowExW(kWindowExStyle, kWindowClass, L"", kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100,
                            100, nullptr, nullptr, instance, this);
  if (!hwnd_) ThrowLastError("create the main window");
  CreateControls();
  ApplyDpi(static_cast<int>(::GetDpiForWindow(hwnd_)));
  Bind();
  form.Form_Load();
  ::ShowWindow(hwnd_, SW_SHOW);
  ::UpdateWindow(hwnd_);
  ::SetFocus(Control(ControlId::ListView1));
}

// WM_NCCREATE brings the object; from then on every message goes to it.
LRESULT CALLBACK MainWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
    self->controls_.fill(nullptr);
    self->listHost_.Detached();
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
  }
  return self->OnMessage(message, wParam, lParam);
}

LRESULT MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_MOUSEMOVE:
      if (Accepting()) form_->Form_MouseMove();
      return 0;
    case WM_SETCURSOR:
      if (OnSetCursor(reinterpret_cast<HWND>(wParam), LOWORD(lParam))) return TRUE;
      break;
    case WM_CTLCOLORSTATIC: {
      auto dc = reinterpret_cast<HDC>(wParam);
      ::SetBkColor(dc, RGB(255, 255, 255));
      if (reinterpret_cast<HWND>(lParam) == Control(ControlId::Label1)) ::SetTextColor(dc, kRed);
      return reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH));
    }
    case WM_CTLCOLORBTN:
      return reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH));
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        lastFocus_ = ::GetFocus();
      } else if (lastFocus_ && ::IsChild(hwnd_, lastFocus_)) {
        ::SetFocus(lastFocus_);
        return 0;
      }
      break;
    case WM_DPICHANGED:
      OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_CLOSE: {
      if (busy_ || !form_) return 0;
      int cancel = 0;
      form_->Form_Unload(cancel);
      return 0;
    }
    case WM_DESTROY:
      OnDestroy();
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd_, message, wParam, lParam);
}

void MainWindow::CreateControls() {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  const PixelRect none{0, 0, 0, 0};
  // Creation order is the z-order and so the Tab order of IsDialogMessage.
  controls_[Slot(ControlId::ListView1)] = CreateChild(
      hwnd_, WC_LISTVIEWW, L"",
      WS_TABSTOP | WS_CLIPSIBLINGS | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
      WS_EX_CLIENTEDGE, ControlId::ListView1, none);
  controls_[Slot(ControlId::Check3)] = CreateChild(hwnd_, WC_BUTTONW, Widen(app::kCheck3Caption),
                                                   WS_TABSTOP | BS_AUTOCHECKBOX, 0, ControlId::Check3, none);
  const DWORD pushLike = WS_TABSTOP | BS_AUTOCHECKBOX | BS_PUSHLIKE | BS_MULTILINE | BS_CENTER | BS_BOTTOM;
  controls_[Slot(ControlId::Check2)] =
      CreateChild(hwnd_, WC_BUTTONW, Widen(app::kCheck2Caption), pushLike, 0, ControlId::Check2, none);
  controls_[Slot(ControlId::Check1)] =
      CreateChild(hwnd_, WC_BUTTONW, Widen(app::kCheck1Caption), pushLike, 0, ControlId::Check1, none);
  controls_[Slot(ControlId::Check4)] =
      CreateChild(hwnd_, WC_BUTTONW, Widen(app::kCheck4Caption), pushLike, 0, ControlId::Check4, none);
  controls_[Slot(ControlId::ProgressBar1)] =
      CreateChild(hwnd_, PROGRESS_CLASSW, L"", 0, 0, ControlId::ProgressBar1, none);
  // SS_NOTIFY: the label takes its own pointer moves, so moving over it
  // leaves the window pointer alone instead of counting as bare area.
  controls_[Slot(ControlId::Label1)] = CreateChild(hwnd_, WC_STATICW, Widen(app::kLabel1Caption),
                                                   SS_LEFT | SS_NOTIFY, 0, ControlId::Label1, none);

  HWND list = Control(ControlId::ListView1);
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  ::SendMessageW(Control(ControlId::ProgressBar1), PBM_SETRANGE32, 0, 100 * kProgressScale);

  tooltip_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance, nullptr);
  if (tooltip_) {
    std::wstring tip = Widen(app::kListToolTip);
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = hwnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(list);
    tool.lpszText = tip.data();
    ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void MainWindow::SetButtonImage(ControlId id, int iconId) {
  const std::size_t slot = id == ControlId::Check1 ? 0 : id == ControlId::Check4 ? 1 : 2;
  const int size = ::MulDiv(32, dpi_, USER_DEFAULT_SCREEN_DPI);
  HICON icon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(iconId), IMAGE_ICON,
                                               size, size, LR_DEFAULTCOLOR));
  if (!icon) return;  // caption only
  UniqueHicon owned(icon);
  HIMAGELIST images = ::ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 1, 0);
  if (!images) return;
  ::ImageList_AddIcon(images, icon);
  // The image above the caption, both centred: a push-like check box of
  // common controls 6 draws an image list and its text side by side, or
  // stacked with the top alignment.
  BUTTON_IMAGELIST settings{};
  settings.himl = images;
  settings.margin = {0, ::MulDiv(8, dpi_, USER_DEFAULT_SCREEN_DPI), 0, 0};
  settings.uAlign = BUTTON_IMAGELIST_ALIGN_TOP;
  ::SendMessageW(Control(id), BCM_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(&settings));
  buttonImages_[slot].reset(images);
}

void MainWindow::ApplyDpi(int dpi) {
  dpi_ = dpi;
  // The frame as the window has it now, rather than as computed for the DPI:
  // the two differ while a DPI change is under way.
  RECT outer{};
  RECT client{};
  ::GetWindowRect(hwnd_, &outer);
  ::GetClientRect(hwnd_, &client);
  const PixelSize size = ClientPixels(dpi);
  ::SetWindowPos(hwnd_, nullptr, 0, 0, size.width + (outer.right - outer.left) - client.right,
                 size.height + (outer.bottom - outer.top) - client.bottom, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  auto font = [dpi](double points) {
    return UniqueHfont(::CreateFontW(FontHeight(points, dpi), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                     DEFAULT_PITCH | FF_SWISS, L"Arial"));
  };
  UniqueHfont small = font(kSmallFontPoints);
  UniqueHfont large = font(kLargeFontPoints);
  for (const ControlDesign& design : kDesign) {
    HWND control = Control(design.id);
    PlaceChild(control, ToPixels(design.twips, dpi));
    if (design.fontPoints == kSmallFontPoints) {
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(small.get()), TRUE);
    } else if (design.fontPoints == kLargeFontPoints) {
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(large.get()), TRUE);
    }
  }
  // The old fonts go only after no control uses them any more.
  smallFont_ = std::move(small);
  largeFont_ = std::move(large);
  SetButtonImage(ControlId::Check1, kAddFilesIconId);
  SetButtonImage(ControlId::Check4, kAddFolderIconId);
  SetButtonImage(ControlId::Check2, kRemoveLinksIconId);
  if (tooltip_) ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, ::MulDiv(360, dpi, USER_DEFAULT_SCREEN_DPI));
}

void MainWindow::OnDpiChanged(int dpi, const RECT& suggested) {
  const int oldDpi = dpi_;
  ApplyDpi(dpi);
  // The place the system suggests, but the size from the design: the client
  // area is fixed, and rounding in the suggestion must not grow or cut it.
  ::SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  // The column keeps the width the user gave it, scaled to the new DPI.
  HWND list = Control(ControlId::ListView1);
  const int width = ListView_GetColumnWidth(list, 0);
  if (width > 0) ListView_SetColumnWidth(list, 0, ::MulDiv(width, dpi, oldDpi));
}

void MainWindow::Bind() {
  app::Form1& form = *form_;
  const std::array<std::pair<ControlId, base::CheckBox*>, 4> checks{{{ControlId::Check1, &form.Check1},
                                                                     {ControlId::Check2, &form.Check2},
                                                                     {ControlId::Check3, &form.Check3},
                                                                     {ControlId::Check4, &form.Check4}}};
  for (const auto& [id, box] : checks) {
    box->Changed = [this, id = id](int value) { ShowCheck(Control(id), value); };
    ShowCheck(Control(id), box->Value());
  }
  // While the run works it never lets input through, but the bar and the
  // pointer must still show: paint messages only.
  form.ProgressBar1.Changed = [this](double value) {
    HWND bar = Control(ControlId::ProgressBar1);
    if (!bar) return;
    ::SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(std::lround(value * kProgressScale)), 0);
    ::UpdateWindow(bar);
    if (busy_) PumpPaintOnly();
  };
  form.MousePointer.Changed = [this](int) {
    RefreshCursor();
    if (busy_) PumpPaintOnly();
  };
  form.ListView1MousePointer.Changed = [this](int) { RefreshCursor(); };

  ListMouseEvents events;
  events.accepting = [this] { return Accepting(); };
  events.mouseDown = [this] { form_->ListView1_MouseDown(); };
  events.itemClick = [this] { form_->ListView1_ItemClick(); };
  events.mouseMove = [this](int x, int y) { form_->ListView1_MouseMove(x, y); };
  events.mouseUp = [this] { form_->ListView1_MouseUp(); };
  events.dblClick = [this] { form_->ListView1_DblClick(); };
  listHost_.Attach(Control(ControlId::ListView1), form.ListView1, std::move(events));

  const std::array<std::pair<ControlId, void (app::Form1::*)()>, 3> buttons{
      {{ControlId::Check1, &app::Form1::Check1_MouseMove},
       {ControlId::Check2, &app::Form1::Check2_MouseMove},
       {ControlId::Check4, &app::Form1::Check4_MouseMove}}};
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    buttonHover_[i].Attach(Control(buttons[i].first),
                           [this, handler = buttons[i].second](HWND, UINT message, WPARAM, LPARAM) {
                             if (message == WM_MOUSEMOVE && Accepting()) (form_->*handler)();
                             return std::optional<LRESULT>();
                           });
  }

  DropHandlers drops;
  drops.dragOver = [this](const filelist::DragData& data, int& effect) {
    if (!Accepting()) {
      effect = filelist::kDropEffectNone;
      return;
    }
    form_->ListView1_OLEDragOver(data, effect);
  };
  drops.drop = [this](const filelist::DragData& data) {
    if (Accepting()) form_->ListView1_OLEDragDrop(data);
  };
  dropTarget_ = ListDropTarget::Make(std::move(drops));
  // Without OLE initialised on this thread there is no dropping; the rest works.
  dropRegistered_ = SUCCEEDED(::RegisterDragDrop(Control(ControlId::ListView1), dropTarget_.get()));
}

base::CheckBox* MainWindow::CheckFor(ControlId id) const {
  if (!form_) return nullptr;
  switch (id) {
    case ControlId::Check1: return &form_->Check1;
    case ControlId::Check2: return &form_->Check2;
    case ControlId::Check3: return &form_->Check3;
    case ControlId::Check4: return &form_->Check4;
    default: return nullptr;
  }
}

void MainWindow::OnCommand(int id, int code, HWND control) {
  if (code == BN_CLICKED && control) OnCheckClicked(static_cast<ControlId>(id), control);
}

// The control has already toggled itself; the model takes the click as the
// user's and its hooks put the control right again (a button springs back).
void MainWindow::OnCheckClicked(ControlId id, HWND control) {
  base::CheckBox* box = CheckFor(id);
  if (!box) return;
  if (!Accepting()) {
    ShowCheck(control, box->Value());
    return;
  }
  try {
    if (id == ControlId::Check2) {
      FlagScope busy(busy_);
      box->UserClick();
    } else {
      box->UserClick();
    }
  } catch (const std::exception& error) {
    // A handler that fails must not take the message loop down with it.
    ::MessageBoxW(hwnd_, Widen(error.what()).c_str(), Widen(base::kAppTitle).c_str(), MB_OK | MB_APPLMODAL);
  }
  ShowCheck(Control(id), box->Value());
}

LRESULT MainWindow::OnNotify(const NMHDR& header) {
  if (form_ && header.hwndFrom == Control(ControlId::ListView1) && header.code == LVN_ITEMCHANGED)
    listHost_.OnItemChanged(reinterpret_cast<const NMLISTVIEW&>(header));
  return 0;
}

HCURSOR MainWindow::CursorFor(HWND over) const {
  if (!form_) return nullptr;
  const int window = form_->MousePointer.Get();
  if (window == base::kPointerHourglass) return ::LoadCursorW(nullptr, IDC_WAIT);
  HWND list = Control(ControlId::ListView1);
  if (over == list || (list && ::IsChild(list, over))) {
    // The list has a pointer of its own; default leaves it to the control.
    switch (form_->ListView1MousePointer.Get()) {
      case base::kPointerCustom:
        return listHost_.MouseIcon() ? listHost_.MouseIcon() : ::LoadCursorW(nullptr, IDC_ARROW);
      case base::kPointerArrow: return ::LoadCursorW(nullptr, IDC_ARROW);
      case base::kPointerHourglass: return ::LoadCursorW(nullptr, IDC_WAIT);
      default: return nullptr;
    }
  }
  switch (window) {
    case base::kPointerCustom:
      // Without HAND-M.CUR the system's hand stands in.
      return handCursor_ ? handCursor_.get() : ::LoadCursorW(nullptr, IDC_HAND);
    case base::kPointerArrow: return ::LoadCursorW(nullptr, IDC_ARROW);
    default: return nullptr;
  }
}

bool MainWindow::OnSetCursor(HWND over, int hitTest) {
  if (hitTest != HTCLIENT) return false;
  HCURSOR cursor = CursorFor(over);
  if (!cursor) return false;
  ::SetCursor(cursor);
  return true;
}

// A pointer change shows at once, not only at the next move.
void MainWindow::RefreshCursor() {
  if (!hwnd_) return;
  POINT point{};
  if (!::GetCursorPos(&point)) return;
  HWND over = ::WindowFromPoint(point);
  if (over != hwnd_ && !::IsChild(hwnd_, over)) return;
  ::SendMessageW(over, WM_SETCURSOR, reinterpret_cast<WPARAM>(over), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
}

void MainWindow::OnDestroy() {
  ending_ = true;
  if (dropRegistered_) ::RevokeDragDrop(Control(ControlId::ListView1));
  dropRegistered_ = false;
  if (options_.quitOnDestroy) ::PostQuitMessage(0);
}

float MainWindow::ScreenWidth() { return PixelsToTwips(::GetSystemMetricsForDpi(SM_CXSCREEN, dpi_), dpi_); }
float MainWindow::ScreenHeight() { return PixelsToTwips(::GetSystemMetricsForDpi(SM_CYSCREEN, dpi_), dpi_); }

float MainWindow::Width() {
  RECT r{};
  ::GetWindowRect(hwnd_, &r);
  return PixelsToTwips(r.right - r.left, dpi_);
}

float MainWindow::Height() {
  RECT r{};
  ::GetWindowRect(hwnd_, &r);
  return PixelsToTwips(r.bottom - r.top, dpi_);
}

namespace {
int TwipsToScreen(float twips, int dpi) {
  return static_cast<int>(std::lround(static_cast<double>(twips) * dpi / kTwipsPerInch));
}
}  // namespace

void MainWindow::SetLeft(float left) {
  RECT r{};
  ::GetWindowRect(hwnd_, &r);
  ::SetWindowPos(hwnd_, nullptr, TwipsToScreen(left, dpi_), r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindow::SetTop(float top) {
  RECT r{};
  ::GetWindowRect(hwnd_, &r);
  ::SetWindowPos(hwnd_, nullptr, r.left, TwipsToScreen(top, dpi_), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindow::SetCaption(const std::string& caption) { ::SetWindowTextW(hwnd_, Widen(caption).c_str()); }

std::string MainWindow::AppPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) ThrowLastError("program path");
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash != std::wstring::npos) path.resize(slash);
  return Narrow(path);
}

void MainWindow::LoadMouseIcon(const std::string& file) {
  HANDLE cursor = ::LoadImageW(nullptr, Widen(file).c_str(), IMAGE_CURSOR, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE);
  if (!cursor) ThrowLastError("read the cursor " + file);
  handCursor_.reset(static_cast<HCURSOR>(cursor));
}

void MainWindow::SetupListColumn(const std::string& header, int widthTwips) {
  HWND list = Control(ControlId::ListView1);
  std::wstring text = Widen(header);
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = text.data();
  column.cx = TwipsToPixels(widthTwips, dpi_);
  if (ListView_InsertColumn(list, 0, &column) < 0) throw SystemError(0, "the list's column could not be added");
}

void MainWindow::SetProgressBarBackColor(unsigned colour) {
  HWND bar = Control(ControlId::ProgressBar1);
  // A themed bar draws its own track and ignores the colour.
  ::SetWindowTheme(bar, L"", L"");
  ::SendMessageW(bar, PBM_SETBKCOLOR, 0, static_cast<LPARAM>(colour));
}

void MainWindow::End() {
  if (hwnd_) ::DestroyWindow(hwnd_);
}

}  // namespace quorvane::win32
