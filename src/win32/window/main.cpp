// quorvane.exe: one window on one OLE thread. No command line is read.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <exception>

#include "app/Settings.h"
#include "ooxml/BuiltinExcel.h"
#include "ooxml/ObstacleFinder.h"
#include "win32/ComExcel.h"
#include "win32/FileCopier.h"
#include "win32/MessageBoxes.h"
#include "win32/RegionalClock.h"
#include "win32/RegistrySettings.h"
#include "win32/Resource.h"
#include "win32/Strings.h"
#include "win32/window/EngineChoice.h"
#include "win32/window/Program.h"

namespace qw = quorvane::win32;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Started from a Downloads folder, the program must not load a DLL planted
  // beside it: DLLs come from the system folder only. The window's DLLs that
  // Windows does not pin there itself are delay-loaded (cmake/DelayLoad.cmake),
  // so none of them has been looked for yet.
  if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    ::MessageBoxW(nullptr, L"The system folder could not be made the only place for DLLs.", L"Quorvane",
                  MB_OK | MB_ICONERROR);
    return 1;
  }
  // Drag and drop needs OLE, which also brings the apartment COM needs.
  if (FAILED(::OleInitialize(nullptr))) {
    ::MessageBoxW(nullptr, L"OLE could not be initialised.", L"Quorvane", MB_OK | MB_ICONERROR);
    return 1;
  }
  qw::OleUninitializeCall oleUninitialize;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES |
                                                     ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&controls);

  try {
    qw::RegistrySettings settings;
    qw::Win32MessageBoxes messages(nullptr);
    quorvane::ooxml::BuiltinAutomation builtin;
    quorvane::ooxml::EngineObstacleFinder obstacleFinder;
    qw::ExcelTimes times;
    times.calls.deadline = quorvane::app::StoredExcelTimeout(settings);
    qw::ComExcel excel(times, {&obstacleFinder, &builtin});
    qw::EngineChoice automation(excel, builtin);
    qw::Win32FileCopier copier;
    qw::Win32RegionalClock clock;
    qw::Program program({settings, messages, automation, copier, clock});
    program.Start();
    messages.SetOwner(program.Window().Handle());
    return qw::RunMessageLoop(program.Window().HandleRef());
  } catch (const std::exception& error) {
    std::wstring reason = L"The program could not start: ";
    try {
      reason += qw::Widen(error.what());
    } catch (const std::exception&) {
    }
    ::MessageBoxW(nullptr, reason.c_str(), L"Quorvane", MB_OK | MB_ICONERROR);
    return 1;
  }
}
