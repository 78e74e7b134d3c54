// The window's logic: start-up, the stored options, and the handlers that
// reach the file list and the run with the window's own controls.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/Form1.h"
#include "fakes/FakeExcel.h"
#include "fakes/FakeFileList.h"
#include "fakes/FakeServices.h"

namespace quorvane::app {
namespace {

using testing::Texts;
using Strings = std::vector<std::string>;

struct FormFixture : ::testing::Test {
  testing::FakeWindow window;
  testing::FakeSettings settings;
  testing::FakeMessages messages;
  testing::FakeFiles files;
  testing::FakeStarter starter;
  testing::FakeRandom random;
  testing::FakeExcel excel;
  testing::FakeClock clock;
  testing::FakeShell shell;
  testing::FakeInput input;
  std::unique_ptr<Form1> NewForm() {
    return std::make_unique<Form1>(Form1Services{window, settings, messages, files, starter, random, excel, files, clock,
                                                 shell, shell, shell, shell, shell, shell, input});
  }
  std::unique_ptr<Form1> owned = NewForm();
  Form1& form = *owned;
  FormFixture() { shell.list = &form.ListView1; }
  // Where the options live for the user: moving them loses what was stored.
  static std::string Key(const char* key) { return testing::FakeSettings::Key("Tarnwick", "Quorvane", key); }

  // The list as one letter per entry, dropped onto it.
  void Fill(const std::string& letters) {
    while (form.ListView1.Count() > 0) form.ListView1.Remove(1);
    shell.files.clear();
    for (const char letter : letters) shell.files.emplace_back(1, letter);
    form.ListView1_OLEDragDrop(shell);
  }
  std::string Letters() const {
    std::string letters;
    for (const auto& text : Texts(form.ListView1)) letters += text;
    return letters;
  }
  void MoveTo(std::size_t index) { form.ListView1_MouseMove(3, static_cast<int>(index - 1) * 10 + 5); }
  // The user's gestures over the list: pN presses on entry N (the list selects
  // it, then reports the press and the click), d presses on blank space, c is
  // an entry click with nothing selected, mN moves over entry N, u releases,
  // xN double-clicks entry N and x the list with nothing selected.
  void Play(const std::string& gestures) {
    std::istringstream in(gestures);
    for (std::string g; in >> g;) {
      const std::size_t n = g.size() > 1 ? std::stoul(g.substr(1)) : 0;
      if ((g[0] == 'p' || g[0] == 'x') && n > 0) form.ListView1.Select(n);
      if (g[0] == 'c') form.ListView1.ClearSelection();
      if (g[0] == 'p' || g[0] == 'd') form.ListView1_MouseDown();
      if (g[0] == 'p' || g[0] == 'c') form.ListView1_ItemClick();
      if (g[0] == 'm') MoveTo(n);
      if (g[0] == 'u') form.ListView1_MouseUp();
      if (g[0] == 'x') form.ListView1_DblClick();
    }
  }
};

// Start-up centres the window (fractions kept, a small screen not clamped),
// takes the hand cursor beside the program only when it can be read, visits
// the site when a freshly seeded draw gives seven, and restores the backup
// option whatever failed before it: only exactly "True" ticks the box.
// Ticking raises the box's handler, which writes the same word back; every
// click stores the box's state. A store that fails never stops the tool; the
// option still counts for the next run.
TEST_F(FormFixture, StartUpAndTheStoredBackupOption) {
  const std::string hand = "C:\\Program Files\\Quorvane\\HAND-M.CUR";
  const struct {
    bool present, readable;
    float screenWidth, screenHeight, left, top, draw;
    bool site;
    const char* stored;  // the backup option
    int box;
  } cases[] = {{false, true, 15361, 11520, 3885.5f, 3360.0f, 0.0599f, false, " True", 0},
               {true, false, 6000, 3000, -795.0f, -900.0f, 0.07f, false, "True", 1},
               {true, true, 19200, 10800, 5805.0f, 3000.0f, 0.065f, true, "true", 0}};
  for (const auto& c : cases) {
    settings.values[Key("BackupCheck")] = c.stored;
    if (c.present) files.files.insert(hand);
    window.iconUnreadable = !c.readable;
    window.screenWidth = c.screenWidth;
    window.screenHeight = c.screenHeight;
    random.next = c.draw;
    auto f = NewForm();
    f->Form_Load();
    EXPECT_FLOAT_EQ(window.left, c.left);
    EXPECT_FLOAT_EQ(window.top, c.top);
    EXPECT_EQ(f->HasMouseIcon(), c.present && c.readable);
    EXPECT_EQ(window.icon, c.present && c.readable ? hand : "");
    ASSERT_EQ(starter.started.size(), c.site ? 1u : 0u);
    EXPECT_EQ(f->Check3.Value(), c.box) << "start-up stopped early";
  }
  EXPECT_EQ(starter.started[0].first, std::string("explorer \"") + SiteUrl() + "\"");
  EXPECT_EQ(random.seeded, 3);
  EXPECT_TRUE(messages.shown.empty());
  form.Check3.UserClick();
  form.Check3.UserClick();
  EXPECT_EQ(settings.writes, (Strings{"True", "True", "False"}));  // the first as start-up ticked the box
  settings.failRead = settings.failWrite = true;
  form.Check3.UserClick();
  EXPECT_EQ(form.Check3.Value(), 1);
  form.Form_Load();
  EXPECT_EQ(form.Check3.Value(), 0);
}

// No control sets the deadline for Excel calls: only a plain number of seconds
// from one to a day stored beside the backup option changes the default.
TEST_F(FormFixture, ExcelTimeoutComesFromTheStoreWithinItsRange) {
  const std::pair<const char*, long long> cases[] = {
      {"", 300},    {"1", 1},       {"86400", 86400}, {" 45 ", 45}, {"0", 300}, {"86401", 300}, {"12 s", 300},
      {"1.5", 300}, {"99999999999999999999", 300},    {"120", 120},
  };
  for (const auto& [stored, seconds] : cases) {
    settings.values[Key("ExcelTimeout")] = stored;
    EXPECT_EQ(StoredExcelTimeout(settings).count(), seconds) << stored;
  }
  settings.failRead = true;
  EXPECT_EQ(StoredExcelTimeout(settings).count(), 300);
}

// The big buttons act once per press, with the window's own list, pointer
// and bar, and spring back; the click that springing back raises, and any
// click on an unticked button, does nothing.
TEST_F(FormFixture, EachBigButtonActsOncePerPressWithTheWindowsControls) {
  shell.result = "C:\\W\\b.xlsx";
  shell.Add("C:\\W", {"a.xlsx"});
  shell.choice = "C:\\W";
  // The walk goes on only under the window's hourglass.
  shell.onYield = [&] { return form.MousePointer.Get() == base::kPointerHourglass; };
  messages.pointer = &form.MousePointer;
  messages.progress = &form.ProgressBar1;
  for (base::CheckBox* button : {&form.Check1, &form.Check4, &form.Check2}) {
    button->UserClick();
    EXPECT_EQ(button->Value(), 0);
    button->Click();
  }
  EXPECT_EQ(Texts(form.ListView1), (Strings{"C:\\W\\b.xlsx", "C:\\W\\a.xlsx"}));
  const testing::FakeMessages::Shown done{"Done.", base::MessageButtons::Ok, base::kPointerHourglass, 100.0};
  EXPECT_EQ(messages.shown, std::vector{done});
  EXPECT_EQ(form.MousePointer.Get(), base::kPointerDefault);
}

// The hand on a button, the default pointer over the list (as over the bare
// window), but never in place of the hourglass.
TEST_F(FormFixture, HoverSetsTheWindowPointerButNeverReplacesTheHourglass) {
  const std::pair<std::function<void()>, int> cases[] = {{[&] { form.Check2_MouseMove(); }, base::kPointerCustom},
                                                         {[&] { MoveTo(1); }, base::kPointerDefault}};
  for (const int before : {base::kPointerArrow, base::kPointerHourglass}) {
    for (const auto& [handler, after] : cases) {
      form.MousePointer.Set(before);
      handler();
      EXPECT_EQ(form.MousePointer.Get(), before == base::kPointerHourglass ? before : after) << before;
    }
  }
}

// Only a list of files may be dropped, each file appended in order. The
// dragged entry is exchanged with each entry it passes: a slow drag shifts them
// all, a jump exchanges only the two; equal texts are passed over, case counts.
// Without an entry click nothing is dragged; a later press on blank space goes
// on moving the entry dragged last until it is removed (a double click removes
// the selected one). Near the top or the bottom of the screen an exchange brings
// the entry beyond into view, if there is one. A missing drag image stops
// nothing; the list shows the arrow after.
TEST_F(FormFixture, DroppedEntriesAreAppendedAndExchangedWithEachEntryTheDragPasses) {
  for (const bool withFiles : {false, true}) {
    shell.formats = {1, 13};  // plain and Unicode text
    if (withFiles) shell.formats.insert(filelist::kFormatFileList);
    int effect = 5;  // as the platform proposed
    form.ListView1_OLEDragOver(shell, effect);
    EXPECT_EQ(effect, withFiles ? 5 : filelist::kDropEffectNone);
  }
  constexpr int up = filelist::kScrollUpBelowY - 1, down = filelist::kScrollDownFromY;
  const struct {
    const char *before, *gestures, *after;
    std::optional<std::size_t> selected;
    std::optional<int> screenY = (up + down) / 2;  // where the pointer is on the screen, if known
    std::vector<std::size_t> ensured = {};
  } cases[] = {
      {"ABCD", "p1 m2 m3 m4 u m1", "BCDA", 4},
      {"ABCD", "p1 m4 m4 m99 u", "DBCA", 4},  // itself and blank space: nothing
      {"aaAb", "p1 m2 m3", "Aaab", 3},
      {"ABCD", "d m2 c m3", "ABCD", std::nullopt},
      {"ABCD", "p2 m3 u d m4", "ACDB", 4},
      {"ABCD", "p2 m3 u d m4 u x4 x d m1 m3", "ACD", std::nullopt},
      // The second move makes no exchange and scrolls nothing.
      {"ABCD", "p2 m1 m1", "BACD", 1, up},  // first entry: nothing above
      {"ABCD", "p1 m2 m2", "BACD", 2, up, {1}},
      {"ABCD", "p1 m2 m2", "BACD", 2, up + 1},
      {"ABCD", "p1 m2 m2", "BACD", 2, down - 1},
      {"ABCD", "p3 m4 m4", "ABDC", 4, down},  // last entry: nothing below
      {"ABCD", "p1 m2 m2", "BACD", 2, down, {3}},
      {"ABCD", "p4 m3 m3", "ABDC", 3, down, {4}},
      {"ABCD", "p1 m2 m2", "BACD", 2, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.gestures) + " at " + std::to_string(c.screenY.value_or(-1)));
    shell.screenY = c.screenY;
    shell.ensured.clear();
    Fill(c.before);
    Play(c.gestures);
    form.ListView1_MouseUp();
    EXPECT_EQ(Letters(), c.after);
    EXPECT_EQ(form.ListView1.SelectedIndex(), c.selected);
    EXPECT_EQ(shell.ensured, c.ensured);
    EXPECT_EQ(form.ListView1MousePointer.Get(), base::kPointerArrow);
  }
}

}  // namespace
}  // namespace quorvane::app
