#include "app/Form1.h"

#include <exception>

#include "app/Hover.h"
#include "links/Run.h"

namespace quorvane::app {
namespace {

// The three big buttons are check boxes drawn as push buttons: a press ticks
// one, and its handler acts only then, springing it back first. The click
// that springing back raises finds it unticked and does nothing.
bool TakePress(base::CheckBox& button) {
  if (button.Value() != 1) return false;
  button.SetValue(0);
  return true;
}

}  // namespace

Form1::Form1(Form1Services services)
    : services_(services),
      drag_(ListView1, services.listView, services.cursor, ListView1MousePointer, services.window.AppPath()) {
  Check1.Click = [this] { Check1_Click(); };
  Check4.Click = [this] { Check4_Click(); };
  Check2.Click = [this] { Check2_Click(); };
  Check3.Click = [this] { Check3_Click(); };
}

void Form1::Form_Load() {
  WindowHost& window = services_.window;
  CenterForm(window);
  window.SetCaption(base::kAppTitle);

  const std::string cursor = window.AppPath() + kHandCursorFile;
  if (FileExists(services_.fileDates, cursor)) {
    try {
      window.LoadMouseIcon(cursor);
      hasMouseIcon_ = true;
    } catch (const std::exception&) {
      // An unreadable cursor leaves the window without the hand image; the
      // platform shows its own hand for the custom pointer then.
    }
  }

  try {
    OpenSiteAtRandom(services_.random, services_.starter);
  } catch (const std::exception&) {
    // The occasional site visit is a courtesy; start-up does not depend on it.
  }
  window.SetupListColumn(kListColumnHeader, kListColumnWidthTwips);
  RestoreBackupOption(services_.settings, Check3);
  try {
    window.SetProgressBarBackColor(kWhite);
  } catch (const std::exception&) {
  }
}

void Form1::Form_Unload(int& /*cancel*/) { services_.window.End(); }

void Form1::Check2_Click() {
  if (!TakePress(Check2)) return;
  links::RemoveLinks({Check3, ListView1, ProgressBar1, MousePointer},
                     {services_.excel, services_.messages, services_.copier, services_.clock, services_.input});
}

void Form1::Check3_Click() { StoreBackupOption(services_.settings, Check3); }

void Form1::ListView1_DblClick() { ListView1.RemoveSelected(); }

void Form1::Check1_Click() {
  if (!TakePress(Check1)) return;
  filelist::AddFromOpenDialog(services_.openDialog, ListView1, services_.messages);
}

void Form1::Check4_Click() {
  if (!TakePress(Check4)) return;
  filelist::AddFolder(services_.folderPicker, services_.directories, services_.pump, ListView1, MousePointer);
}

void Form1::ListView1_OLEDragOver(const filelist::DragData& data, int& effect) {
  filelist::RefuseDragWithoutFiles(data, effect);
}

void Form1::ListView1_OLEDragDrop(const filelist::DragData& data) { filelist::AppendDroppedFiles(data, ListView1); }

void Form1::Check1_MouseMove() { ButtonHover(MousePointer); }
void Form1::Check2_MouseMove() { ButtonHover(MousePointer); }
void Form1::Check4_MouseMove() { ButtonHover(MousePointer); }
void Form1::Form_MouseMove() { BareAreaHover(MousePointer); }

void Form1::ListView1_MouseDown() { drag_.Press(); }
void Form1::ListView1_ItemClick() { drag_.ItemClicked(); }

// Over the list the window pointer follows the bare-area rule first, button
// down or not; then the drag takes its step.
void Form1::ListView1_MouseMove(int x, int y) {
  BareAreaHover(MousePointer);
  drag_.Move(x, y);
}

void Form1::ListView1_MouseUp() { drag_.Release(); }

}  // namespace quorvane::app
