// The program as a user drives it, on a machine without Excel: workbooks are
// dropped onto the list, the backup box is ticked, "Remove File Links" is
// pressed and the closing message box is answered like a user would.
#include <windows.h>
#undef Yield
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "TestWindow.h"
#include "ooxml/BuiltinExcel.h"
#include "support/WorkbookBuilder.h"
#include "win32/ComExcel.h"
#include "win32/FileCopier.h"
#include "win32/MessageBoxes.h"
#include "win32/RegionalClock.h"
#include "win32/RegistrySettings.h"
#include "win32/Strings.h"
#include "win32/window/EngineChoice.h"

namespace quorvane::testing {
namespace {

namespace fs = std::filesystem;
using win32::ControlId;

// Answers every message box captioned "Quorvane" in this process with OK,
// keeping its text, until stopped.
class BoxAnswerer {
 public:
  BoxAnswerer() : thread_([this] { Run(); }) {}
  BoxAnswerer(const BoxAnswerer&) = delete;
  BoxAnswerer& operator=(const BoxAnswerer&) = delete;
  ~BoxAnswerer() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::wstring> Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  void Run() {
    while (!stop_) {
      HWND box = ::FindWindowW(L"#32770", L"Quorvane");
      DWORD process = 0;
      if (box) ::GetWindowThreadProcessId(box, &process);
      if (box && process == ::GetCurrentProcessId() && ::IsWindowVisible(box)) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          texts_.push_back(WindowText(::GetDlgItem(box, 0xFFFF)));
        }
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        while (!stop_ && ::IsWindow(box)) ::Sleep(20);
      }
      ::Sleep(20);
    }
  }
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::wstring> texts_;
  std::thread thread_;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
// The shell's file list, as a drag from Explorer brings it.
class FileDrag final : public IDataObject {
 public:
  explicit FileDrag(const std::vector<fs::path>& paths) {
    std::wstring list;
    for (const auto& path : paths) list += path.wstring() + L'\0';
    list += L'\0';
    bytes_.resize(sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
    DROPFILES header{};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = TRUE;
    std::memcpy(bytes_.data(), &header, sizeof header);
    std::memcpy(bytes_.data() + sizeof header, list.data(), list.size() * sizeof(wchar_t));
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    *object = (riid == IID_IUnknown || riid == IID_IDataObject) ? static_cast<IDataObject*>(this) : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
    if (QueryGetData(format) != S_OK) return DV_E_FORMATETC;
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes_.size());
    std::memcpy(::GlobalLock(memory), bytes_.data(), bytes_.size());
    ::GlobalUnlock(memory);
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = memory;
    medium->pUnkForRelease = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override {
    return format->cfFormat == CF_HDROP && (format->tymed & TYMED_HGLOBAL) ? S_OK : DV_E_FORMATETC;
  }
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }

 private:
  std::vector<char> bytes_;
};
#pragma GCC diagnostic pop

void Drop(IDropTarget* target, IDataObject* data) {
  POINTL at{20, 20};
  DWORD effect = DROPEFFECT_COPY;
  target->DragEnter(data, MK_LBUTTON, at, &effect);
  effect = DROPEFFECT_COPY;
  target->Drop(data, 0, at, &effect);
}

void LinkedBook(const fs::path& path, const std::vector<std::string>& sources, const std::string& value) {
  WorkbookBuilder book;
  std::string row = "<row r=\"1\">";
  for (std::size_t k = 0; k < sources.size(); ++k) {
    book.AddBookLink({sources[k], {"Sheet1"},
                      "<sheetData sheetId=\"0\"><row r=\"1\"><cell r=\"A1\"><v>" + value + "</v></cell></row></sheetData>"});
    const std::string cell = std::string(1, static_cast<char>('A' + k)) + "1";
    row += "<c r=\"" + cell + "\"><f>[" + std::to_string(k + 1) + "]Sheet1!A1</f><v>" + value + "</v></c>";
  }
  row += "</row>";
  book.AddSheet("Sheet1", row);
  book.Write(path);
}

std::vector<fs::path> BackupsOf(const fs::path& workbook) {
  std::vector<fs::path> out;
  const std::wstring prefix = workbook.stem().wstring() + L" Backup ";
  for (const auto& entry : fs::directory_iterator(workbook.parent_path())) {
    const std::wstring name = entry.path().filename().wstring();
    if (name.rfind(prefix, 0) == 0 && entry.path().extension() == workbook.extension()) out.push_back(entry.path());
  }
  return out;
}

// The window's client area into a 24-bit BMP, for people to look at.
void SaveScreenshot(HWND window, const fs::path& file) {
  RECT r{};
  ::GetClientRect(window, &r);
  const int width = r.right, height = r.bottom;
  HDC screen = ::GetDC(window);
  HDC memory = ::CreateCompatibleDC(screen);
  HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  // What is on the screen: PrintWindow leaves the child controls out under Wine.
  ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  ::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const int stride = (width * 3 + 3) & ~3;
  std::vector<char> pixels(static_cast<std::size_t>(stride) * height);
  ::GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
  ::SelectObject(memory, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(window, screen);

  BITMAPFILEHEADER header{};
  header.bfType = 0x4D42;
  header.bfOffBits = sizeof header + sizeof info;
  header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size());
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
}

fs::path ArtifactsFolder() {
  wchar_t value[MAX_PATH] = {};
  if (::GetEnvironmentVariableW(L"QUORVANE_ARTIFACTS", value, MAX_PATH) > 0) return value;
  return fs::path(L"build") / L"artifacts";
}

TEST(EndToEnd, RemoveFileLinksWithBackupsOverDroppedWorkbooks) {
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  const fs::path folder = fs::path(temp) / (L"quorvane-e2e-" + std::to_wstring(::GetCurrentProcessId())) / L"Rapports été";
  fs::remove_all(folder.parent_path());
  fs::create_directories(folder);
  const fs::path one = folder / L"Budget.xlsx";
  const fs::path two = folder / L"Résumé.xlsx";
  const fs::path old = folder / L"Old.xls";
  LinkedBook(one, {"Sources.xlsx"}, "42");
  LinkedBook(two, {"A.xlsx", "B.xlsx"}, "7");
  std::ofstream(old, std::ios::binary) << std::string("\xD0\xCF\x11\xE0 not a package", 20);
  const std::string oldBytes = ReadFileBytes(old);

  // The real services, the settings in a key of the test's own.
  win32::RegistrySettings settings(HKEY_CURRENT_USER, L"Software\\Quorvane window test");
  win32::Win32MessageBoxes boxes(nullptr);
  win32::ComExcel excel;
  ooxml::BuiltinAutomation builtin;
  win32::EngineChoice automation(excel, builtin);
  win32::Win32FileCopier copier;
  win32::Win32RegionalClock clock;
  NoVisit random;
  NoStart starter;
  win32::Program program({settings, boxes, automation, copier, clock, &random, &starter}, {false});
  program.Start();
  boxes.SetOwner(program.Window().Handle());
  HWND main = program.Window().Handle();

  FileDrag drag({one, two, old});
  Drop(program.Window().DropTarget(), &drag);
  ASSERT_EQ(program.Form().ListView1.Count(), 3u);
  HWND check3 = program.Window().Control(ControlId::Check3);
  if (::SendMessageW(check3, BM_GETCHECK, 0, 0) != BST_CHECKED) ::SendMessageW(check3, BM_CLICK, 0, 0);
  ASSERT_EQ(program.Form().Check3.Value(), 1);
  Pump();
  SaveScreenshot(main, ArtifactsFolder() / L"window.bmp");

  std::vector<std::wstring> texts;
  {
    BoxAnswerer answerer;
    ::SendMessageW(program.Window().Control(ControlId::Check2), BM_CLICK, 0, 0);
    texts = answerer.Texts();
  }
  ASSERT_EQ(texts.size(), 1u);
  const std::string message = win32::Narrow(texts[0]);
  EXPECT_EQ(message.rfind("Done.", 0), 0u) << message;
  EXPECT_NE(message.find("1 of 3 workbooks"), std::string::npos) << message;
  EXPECT_NE(message.find(win32::Narrow(old.wstring())), std::string::npos) << message;
  EXPECT_EQ(message.find("Budget"), std::string::npos) << message;

  for (const fs::path& book : {one, two}) {
    for (const auto& name : PackageEntries(book)) EXPECT_EQ(name.find("externalLink"), std::string::npos) << name;
    const auto parts = ReadPackage(book);
    const auto sheet = parts.find("xl/worksheets/sheet1.xml");
    ASSERT_NE(sheet, parts.end());
    EXPECT_EQ(sheet->second.find("[1]"), std::string::npos);
    EXPECT_NE(sheet->second.find(book == one ? "<v>42</v>" : "<v>7</v>"), std::string::npos);
    const auto backups = BackupsOf(book);
    ASSERT_EQ(backups.size(), 1u) << book.string();
    const auto saved = PackageEntries(backups[0]);
    EXPECT_TRUE(std::any_of(saved.begin(), saved.end(),
                            [](const std::string& name) { return name.find("externalLink") != std::string::npos; }));
  }
  EXPECT_EQ(ReadFileBytes(old), oldBytes);
  EXPECT_EQ(::SendMessageW(program.Window().Control(ControlId::ProgressBar1), PBM_GETPOS, 0, 0), 0);
  EXPECT_EQ(program.Form().MousePointer.Get(), app::kPointerDefault);
  EXPECT_EQ(settings.GetSetting("Tarnwick", "Quorvane", "BackupCheck"), "True");

  ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quorvane window test");
  std::error_code ignored;
  fs::remove_all(folder.parent_path(), ignored);
}

}  // namespace
}  // namespace quorvane::testing
