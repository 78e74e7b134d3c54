#pragma once
// The whole program on one thread: the window, the model and the services
// that need the window. The services that do not are handed in, so a test
// can run the real window with a store or automation of its own.

#include <windows.h>
// winbase.h defines Yield() away; the core's MessagePump has a member of that name.
#undef Yield

#include "app/Form1.h"
#include "app/Main.h"
#include "app/Settings.h"
#include "base/Excel.h"
#include "links/Backup.h"
#include "win32/DirectoryListing.h"
#include "win32/window/FolderPicker.h"
#include "win32/window/MessagePump.h"
#include "win32/window/OpenDialog.h"
#include "win32/window/Shell.h"
#include "win32/window/Window.h"

namespace quorvane::win32 {

// Borrowed; all must outlive the program.
struct ProgramServices {
  app::SettingsStore& settings;
  base::MessageBoxes& messages;
  base::ExcelAutomation& excel;
  links::FileCopier& copier;
  links::RegionalClock& clock;
  // Optional replacements for the occasional site visit's dice and starter.
  app::RandomSource* random = nullptr;
  app::ProgramStarter* starter = nullptr;
};

class Program {
 public:
  explicit Program(ProgramServices services, WindowOptions options = {});
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  // The window goes first: its controls still report to the model while
  // they are destroyed.
  ~Program() { window_.Destroy(); }

  // Creates the window, runs the start-up and shows it. Throws SystemError.
  void Start();

  MainWindow& Window() { return window_; }
  app::Form1& Form() { return form_; }

 private:
  ProgramServices services_;
  MainWindow window_;
  Win32FileDates dates_;
  Win32ProgramStarter starter_;
  app::ClockRandom random_;
  Win32OpenDialog openDialog_;
  Win32FolderPicker folderPicker_;
  Win32DirectoryListing listing_;
  Win32MessagePump pump_;
  Win32ScreenCursor cursor_;
  app::Form1 form_;
};

// GetMessage until WM_QUIT; Tab and the arrow keys move between the
// window's controls. Returns the WM_QUIT code.
int RunMessageLoop(const HWND& dialogWindow);

}  // namespace quorvane::win32
