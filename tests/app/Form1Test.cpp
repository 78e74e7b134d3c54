// Start-up, the stored backup option and the window-level handlers, which
// reach the file list logic with the window's own controls.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Form1.h"
#include "app/Hover.h"
#include "fakes/FakeExcel.h"
#include "fakes/FakeFileList.h"
#include "fakes/FakeServices.h"

namespace quorvane::app {
namespace {

struct FormFixture : ::testing::Test {
  FormFixture() { lists.listView.Attach(form.ListView1); }
  testing::FakeWindow window;
  testing::FakeSettings settings;
  testing::FakeMessages messages;
  testing::FakeFiles files;
  testing::FakeStarter starter;
  testing::FakeRandom random;
  testing::FakeExcel excel;
  testing::FakeClock clock;
  testing::FileListFakes lists;
  testing::FakeInput input;
  std::unique_ptr<Form1> NewForm(testing::FakeWindow& w, testing::FakeSettings& store) {
    return std::make_unique<Form1>(Form1Services{w, store, messages, files, starter, random, excel, files, clock,
                                                 lists.dialog, lists.picker, lists.listing, lists.pump,
                                                 lists.listView, lists.cursor, input});
  }
  std::unique_ptr<Form1> owned = NewForm(window, settings);
  Form1& form = *owned;

  std::string StoreKey() const { return testing::FakeSettings::Key("Tarnwick", "Quorvane", "BackupCheck"); }
};

TEST_F(FormFixture, StartUpRunsItsStepsInOrderAndTheHandCursorIsOptional) {
  form.Form_Load();  // no cursor file: nothing loaded, nothing told
  EXPECT_FALSE(form.HasMouseIcon());
  for (const auto& call : window.calls) EXPECT_EQ(call.rfind("LoadMouseIcon", 0), std::string::npos);

  files.files.insert("C:\\Program Files\\Quorvane\\HAND-M.CUR");
  window.iconUnreadable = true;  // an unreadable one is passed over
  form.Form_Load();
  EXPECT_FALSE(form.HasMouseIcon());
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(window.calls.back(), "SetProgressBarBackColor(16777215)");  // start-up went on

  window.iconUnreadable = false;
  window.calls.clear();
  form.Form_Load();
  const std::vector<std::string> expected = {
      "SetLeft", "SetTop", "SetCaption", "LoadMouseIcon(C:\\Program Files\\Quorvane\\HAND-M.CUR)",
      "SetupListColumn(Excel File(s),6100)", "SetProgressBarBackColor(16777215)"};
  EXPECT_EQ(window.calls, expected);
  EXPECT_EQ(window.caption, "Quorvane");
  EXPECT_TRUE(form.HasMouseIcon());
  EXPECT_EQ(random.seeded, 3);
}

TEST_F(FormFixture, CenteringKeepsFractionsAndDoesNotClamp) {
  window.screenWidth = 15361;
  window.screenHeight = 11520;
  window.width = 7590;
  window.height = 4815;
  form.Form_Load();
  EXPECT_FLOAT_EQ(window.left, 3885.5f);
  EXPECT_FLOAT_EQ(window.top, 3352.5f);

  window.screenWidth = 6000;
  window.screenHeight = 3000;
  form.Form_Load();
  EXPECT_FLOAT_EQ(window.left, -795.0f);
  EXPECT_FLOAT_EQ(window.top, -907.5f);
}

TEST_F(FormFixture, SiteOpensOnlyWhenSevenIsDrawn) {
  // Int(Rnd * 100) + 1 == 7 for Rnd in [0.06, 0.07).
  for (float r : {0.0f, 0.0599f, 0.07f, 0.99f}) {
    random.next = r;
    form.Form_Load();
  }
  EXPECT_TRUE(starter.started.empty());
  random.next = 0.065f;
  form.Form_Load();
  ASSERT_EQ(starter.started.size(), 1u);
  EXPECT_EQ(starter.started[0].first, std::string("explorer \"") + SiteUrl() + "\"");
  EXPECT_EQ(starter.started[0].second, 2);
  EXPECT_NE(std::string(SiteUrl()).find(".example"), std::string::npos);
}

TEST(ClockRandom, DrawsAboutOneInAHundredSevens) {
  ClockRandom random;
  random.Randomize();
  int sevens = 0;
  for (int i = 0; i < 100000; ++i) {
    const float r = random.Rnd();
    ASSERT_GE(r, 0.0f);
    ASSERT_LT(r, 1.0f);
    if (static_cast<int>(r * 100.0f) + 1 == 7) ++sevens;
  }
  EXPECT_GT(sevens, 800);
  EXPECT_LT(sevens, 1200);
}

TEST_F(FormFixture, RestoreAndStoreFollowTheStoredText) {
  struct Case {
    std::optional<std::string> stored;
    int box;
    std::vector<std::string> writesAtStartUp;
  };
  const Case cases[] = {
      {std::nullopt, 0, {}},
      {"True", 1, {"True"}},  // ticking raises the handler, which writes the same word
      {"False", 0, {}},
      {"true", 0, {}},
      {" True", 0, {}},
      {"Yes", 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored.value_or("<absent>"));
    testing::FakeSettings store;
    if (c.stored) store.values[StoreKey()] = *c.stored;
    testing::FakeWindow w;
    auto owner = NewForm(w, store);
    Form1& f = *owner;
    f.Form_Load();
    EXPECT_EQ(f.Check3.Value(), c.box);
    EXPECT_EQ(store.writes, c.writesAtStartUp);
    if (c.stored) EXPECT_EQ(store.values[StoreKey()], *c.stored);
    else EXPECT_EQ(store.values.count(StoreKey()), 0u);

    f.Check3.UserClick();
    f.Check3.UserClick();
    const std::string last = c.box == 1 ? "True" : "False";
    EXPECT_EQ(store.values[StoreKey()], last);
  }
}

TEST_F(FormFixture, AStoreThatFailsNeverStopsTheTool) {
  settings.values[StoreKey()] = "True";
  settings.failRead = true;
  form.Form_Load();
  EXPECT_EQ(form.Check3.Value(), 0);
  settings.failWrite = true;
  form.Check3.UserClick();
  EXPECT_EQ(form.Check3.Value(), 1);  // the option still counts for the next run
}

// The deadline for Excel calls has no control: only a value stored beside the
// backup option changes it, and anything but a plain number of seconds from
// one to a day leaves the default.
TEST_F(FormFixture, ExcelTimeoutComesFromTheStoreWithinItsRange) {
  const std::string key = testing::FakeSettings::Key("Tarnwick", "Quorvane", "ExcelTimeout");
  const std::pair<std::optional<std::string>, long long> cases[] = {
      {std::nullopt, 300}, {"120", 120},  {"1", 1},      {"86400", 86400}, {" 45 ", 45}, {"0", 300},
      {"86401", 300},      {"-5", 300},   {"1.5", 300},  {"12 s", 300},    {"", 300},    {"99999999999999999999", 300},
  };
  for (const auto& [stored, seconds] : cases) {
    SCOPED_TRACE(stored.value_or("<absent>"));
    testing::FakeSettings store;
    if (stored) store.values[key] = *stored;
    EXPECT_EQ(StoredExcelTimeout(store).count(), seconds);
  }
  settings.values[key] = "60";
  settings.failRead = true;
  EXPECT_EQ(StoredExcelTimeout(settings).count(), 300);
}

// The handlers reach the folder walk and the run with the window's own
// controls; the window tests drive every handler through real input.
TEST_F(FormFixture, ButtonsReachTheirLogicWithTheWindowsControls) {
  lists.listing.Add("C:\\W", {"a.xlsx"});
  lists.picker.choice = "C:\\W";
  std::vector<int> pointers;
  lists.pump.onYield = [&] {
    pointers.push_back(form.MousePointer.Get());
    return true;
  };
  form.Check4.UserClick();
  ASSERT_FALSE(pointers.empty());
  EXPECT_EQ(pointers.front(), base::kPointerHourglass);

  files.files.insert("C:\\W\\a.xlsx");
  form.Check2.UserClick();
  EXPECT_EQ(form.Check2.Value(), 0);
  EXPECT_EQ(excel.Matching("Open(C:\\W\\a.xlsx)").size(), 1u);
  ASSERT_EQ(messages.shown.size(), 1u);
  EXPECT_EQ(messages.shown[0].text, "Done.");
  EXPECT_EQ(input.discarded, 1);
  EXPECT_EQ(form.MousePointer.Get(), base::kPointerDefault);
}

// The big buttons act once per press and spring back; the click that
// springing back raises, and any click on an unticked button, does nothing.
TEST_F(FormFixture, EachBigButtonActsOncePerPressAndSpringsBack) {
  const auto shows = [&] { return std::count(lists.dialog.calls.begin(), lists.dialog.calls.end(), "ShowOpen"); };
  struct Case {
    const char* name;
    base::CheckBox Form1::*button;
    std::function<std::size_t()> actions;
  };
  const Case cases[] = {
      {"Check1", &Form1::Check1, [&] { return static_cast<std::size_t>(shows()); }},
      {"Check2", &Form1::Check2, [&] { return messages.shown.size(); }},  // "No files added."
      {"Check4", &Form1::Check4, [&] { return lists.picker.prompts.size(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    base::CheckBox& button = form.*c.button;
    int clicks = 0;
    const auto handler = button.Click;
    button.Click = [&clicks, handler] {
      ++clicks;
      handler();
    };
    button.UserClick();
    EXPECT_EQ(button.Value(), 0);
    EXPECT_EQ(clicks, 2);  // the press and the spring back
    EXPECT_EQ(c.actions(), 1u);
    button.Click();
    EXPECT_EQ(c.actions(), 1u);
    button.Click = handler;
  }
}

// Over the list the window pointer follows the bare-area rule on every move,
// button down or not, before the drag takes its step; releasing leaves it.
TEST_F(FormFixture, MovesOverTheListSetTheWindowPointerBeforeTheDragStep) {
  for (const char* path : {"A", "B"}) form.ListView1.Add(path);
  const auto row = testing::FakeListView::Row;
  form.MousePointer.Set(base::kPointerCustom);
  form.ListView1_MouseMove(3, row(1));
  EXPECT_EQ(form.MousePointer.Get(), base::kPointerDefault);

  std::vector<std::string> listWhenPointerSet;
  form.MousePointer.Changed = [&](int) { listWhenPointerSet = testing::Texts(form.ListView1); };
  form.MousePointer.Set(base::kPointerCustom);
  form.ListView1.Select(1);
  form.ListView1_MouseDown();
  form.ListView1_ItemClick();
  form.ListView1_MouseMove(3, row(2));
  EXPECT_EQ(form.MousePointer.Get(), base::kPointerDefault);
  EXPECT_EQ(listWhenPointerSet, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(testing::Texts(form.ListView1), (std::vector<std::string>{"B", "A"}));

  form.MousePointer.Set(base::kPointerHourglass);
  form.ListView1_MouseMove(3, row(1));
  EXPECT_EQ(form.MousePointer.Get(), base::kPointerHourglass);
  EXPECT_EQ(testing::Texts(form.ListView1), (std::vector<std::string>{"A", "B"}));

  form.MousePointer.Set(base::kPointerCustom);
  form.ListView1_MouseUp();
  EXPECT_EQ(form.MousePointer.Get(), base::kPointerCustom);
  EXPECT_EQ(form.ListView1MousePointer.Get(), base::kPointerArrow);
}

TEST_F(FormFixture, ClosingEndsTheProgramWithoutAsking) {
  form.ListView1.Add("C:\\a.xlsx");
  int cancel = 0;
  form.Form_Unload(cancel);
  EXPECT_TRUE(window.ended);
  EXPECT_EQ(cancel, 0);
  EXPECT_TRUE(messages.shown.empty());
}

// The hand on the buttons is written on every move, also when it is already
// shown; the hourglass is never replaced.
TEST(Hover, RulesNeverTouchTheHourglass) {
  struct Case {
    int before, afterButton, afterBare;
  };
  const Case cases[] = {
      {base::kPointerDefault, base::kPointerCustom, base::kPointerDefault},
      {base::kPointerArrow, base::kPointerCustom, base::kPointerDefault},
      {base::kPointerCustom, base::kPointerCustom, base::kPointerDefault},
      {base::kPointerHourglass, base::kPointerHourglass, base::kPointerHourglass},
  };
  for (const auto& c : cases) {
    base::Property<int> button(c.before);
    int writes = 0;
    button.Changed = [&](int) { ++writes; };
    ButtonHover(button);
    EXPECT_EQ(button.Get(), c.afterButton) << c.before;
    EXPECT_EQ(writes, c.before == base::kPointerHourglass ? 0 : 1) << c.before;
    base::Property<int> bare(c.before);
    BareAreaHover(bare);
    EXPECT_EQ(bare.Get(), c.afterBare) << c.before;
  }
}

}  // namespace
}  // namespace quorvane::app
