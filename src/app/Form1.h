#pragma once
// The main window as the logic sees it: its controls, its start-up and
// shut-down, and the handlers that carry the tool's behaviour. The platform
// view mirrors these controls and forwards the user's events here.

#include <string>

#include "app/Main.h"
#include "app/Settings.h"
#include "base/Controls.h"
#include "base/Excel.h"
#include "base/MessageBoxes.h"
#include "base/PendingInput.h"
#include "filelist/AddFiles.h"
#include "filelist/AddFolder.h"
#include "filelist/Drop.h"
#include "filelist/FileList.h"
#include "filelist/Reorder.h"
#include "links/Backup.h"

namespace quorvane::app {

// Platform operations of the window itself.
class WindowHost : public WindowPlacement {
 public:
  virtual void SetCaption(const std::string& caption) = 0;
  virtual std::string AppPath() = 0;  // folder of the program file
  // Makes the cursor file the window's custom pointer image; throws when it
  // cannot be read as a cursor.
  virtual void LoadMouseIcon(const std::string& file) = 0;
  virtual void SetupListColumn(const std::string& header, int widthTwips) = 0;
  virtual void SetProgressBarBackColor(unsigned colour) = 0;
  virtual void End() = 0;  // ends the program at once
};

struct Form1Services {
  WindowHost& window;
  SettingsStore& settings;
  base::MessageBoxes& messages;
  FileDates& fileDates;
  ProgramStarter& starter;
  RandomSource& random;
  base::ExcelAutomation& excel;
  links::FileCopier& copier;
  links::RegionalClock& clock;
  filelist::OpenFileDialog& openDialog;
  filelist::FolderPicker& folderPicker;
  filelist::DirectoryListing& directories;
  filelist::MessagePump& pump;
  filelist::ListViewControl& listView;
  filelist::ScreenCursor& cursor;
  base::PendingInput& input;
};

// Texts and fixed values of the window.
inline constexpr const char* kCheck1Caption = "Add Excel File(s)";
inline constexpr const char* kCheck2Caption = "Remove File Links";
inline constexpr const char* kCheck3Caption = "Make backup of Excel files and put backup in same folder.";
inline constexpr const char* kCheck4Caption = "Add All Excel File(s) In Folder";
inline constexpr const char* kLabel1Caption =
    " Note: You must have Excel 2002 (XP) or higher installed to use this software.";
inline constexpr const char* kListToolTip =
    "Drag and drop files here. Double-click item to remove it. Move bar to right and out of window to reveal "
    "full names.";
inline constexpr const char* kListColumnHeader = "Excel File(s)";
inline constexpr int kListColumnWidthTwips = 6100;
inline constexpr unsigned kWhite = 0x00FFFFFFu;
inline constexpr const char* kHandCursorFile = "\\HAND-M.CUR";

class Form1 {
 public:
  explicit Form1(Form1Services services);
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  base::CheckBox Check1;
  base::CheckBox Check2;
  base::CheckBox Check3;
  base::CheckBox Check4;
  filelist::FileList ListView1;
  base::Property<double> ProgressBar1{0.0};
  base::Property<int> MousePointer{base::kPointerDefault};
  base::Property<int> ListView1MousePointer{base::kPointerDefault};  // the list's own pointer
  // Whether the custom pointer image (value 99) was loaded at start-up.
  bool HasMouseIcon() const { return hasMouseIcon_; }

  void Form_Load();
  void Form_Unload(int& cancel);

  void Check2_Click();
  void Check3_Click();
  void ListView1_DblClick();

  void Check1_Click();
  void Check4_Click();
  void ListView1_OLEDragOver(const filelist::DragData& data, int& effect);
  void ListView1_OLEDragDrop(const filelist::DragData& data);

  void Check1_MouseMove();
  void Check2_MouseMove();
  void Check4_MouseMove();
  void Form_MouseMove();

  void ListView1_MouseDown();
  void ListView1_ItemClick();
  void ListView1_MouseMove(int x, int y);  // in the units the list's HitTest takes
  void ListView1_MouseUp();

 private:
  Form1Services services_;
  bool hasMouseIcon_ = false;
  filelist::ListReorder drag_;
};

}  // namespace quorvane::app
