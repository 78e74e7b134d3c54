#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "win32/Error.h"
#include "win32/FileCopier.h"
#include "win32/MessageBoxes.h"
#include "win32/RegionalClock.h"
#include "win32/RegistrySettings.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

namespace fs = std::filesystem;

// ---- settings in the registry ---------------------------------------------

class RegistrySettingsTest : public ::testing::Test {
 protected:
  void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, (kBase + L"\\" + Widen(app_)).c_str()); }

  static inline const std::wstring kBase = L"Software\\VB and VBA Program Settings";
  const std::string app_ = "QuorvaneTest-" + std::to_string(::GetCurrentProcessId());
  RegistrySettings store_;
};

TEST_F(RegistrySettingsTest, RoundTripUsesTheRuntimeKeyLayoutKeepsTextAsStoredAndRejectsOtherTypes) {
  EXPECT_EQ(store_.GetSetting(app_, "Quorvane", "BackupCheck"), "");  // no key at all

  store_.SaveSetting(app_, "Quorvane", "BackupCheck", "True");
  EXPECT_EQ(store_.GetSetting(app_, "Quorvane", "BackupCheck"), "True");
  EXPECT_EQ(store_.GetSetting(app_, "Quorvane", "Other"), "");  // key there, value absent

  // Where and how it lies: a REG_SZ under <base>\<app>\<section>.
  wchar_t raw[16] = {};
  DWORD bytes = sizeof raw;
  DWORD type = 0;
  const std::wstring path = kBase + L"\\" + Widen(app_) + L"\\Quorvane";
  ASSERT_EQ(::RegGetValueW(HKEY_CURRENT_USER, path.c_str(), L"BackupCheck", RRF_RT_ANY, &type, raw, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(raw, L"True");

  store_.SaveSetting(app_, "Quorvane", "BackupCheck", "true");
  EXPECT_EQ(store_.GetSetting(app_, "Quorvane", "BackupCheck"), "true");
  store_.SaveSetting(app_, "Quorvane", "BackupCheck", " \xC3\xA9t\xC3\xA9 ");
  EXPECT_EQ(store_.GetSetting(app_, "Quorvane", "BackupCheck"), " \xC3\xA9t\xC3\xA9 ");
  store_.SaveSetting(app_, "Quorvane", "BackupCheck", "");
  EXPECT_EQ(store_.GetSetting(app_, "Quorvane", "BackupCheck"), "");

  // A value of another type is an error, not empty text.
  const DWORD number = 1;
  ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, path.c_str(), L"BackupCheck", REG_DWORD, &number, sizeof number),
            ERROR_SUCCESS);
  EXPECT_THROW(store_.GetSetting(app_, "Quorvane", "BackupCheck"), SystemError);
}

// ---- file copies -----------------------------------------------------------

class FileCopierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           (L"quorvane-copy-" + std::to_wstring(::GetCurrentProcessId()) + L"-\u00E9\u6771");
    fs::create_directory(dir_);
  }
  void TearDown() override {
    for (const auto& name : Names()) ::SetFileAttributesW((dir_ / name).c_str(), FILE_ATTRIBUTE_NORMAL);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string Path(const std::wstring& name) const { return Narrow((dir_ / name).wstring()); }
  void Write(const std::wstring& name, const std::string& content) const {
    std::ofstream(dir_ / name, std::ios::binary) << content;
  }
  std::string Read(const std::wstring& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::vector<std::wstring> Names() const {
    std::vector<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().wstring());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
  Win32FileCopier copier_;
};

TEST_F(FileCopierTest, CopiesNonAsciiNamesAndReadOnlySourcesAndNeverReplacesATarget) {
  const std::string content("PK\x03\x04 binary \0 content", 23);
  const std::wstring source = L"M\u00E4rz \u2013 \u6771\u4EAC.xlsx";
  const std::wstring target = L"M\u00E4rz \u2013 \u6771\u4EAC Backup 7 04 PM.xlsx";
  Write(source, content);
  ::SetFileAttributesW((dir_ / source).c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(copier_.Copy(Path(source), Path(target)), links::CopyResult::Copied);
  EXPECT_EQ(Read(target), content);
  EXPECT_EQ(copier_.Copy(Path(source), Path(target)), links::CopyResult::TargetExists);

  Write(L"taken.xlsx", "older backup");
  EXPECT_EQ(copier_.Copy(Path(source), Path(L"taken.xlsx")), links::CopyResult::TargetExists);
  EXPECT_EQ(Read(L"taken.xlsx"), "older backup");
  EXPECT_EQ(Names().size(), 3u);
}

TEST_F(FileCopierTest, FailuresThrowWithTheReasonAndLeaveNothingBehind) {
  try {
    copier_.Copy(Path(L"missing.xlsx"), Path(L"missing Backup.xlsx"));
    ADD_FAILURE() << "copying a missing file must throw";
  } catch (const SystemError& error) {
    const std::string what = error.what();
    EXPECT_NE(what.find("missing.xlsx"), std::string::npos) << what;
    EXPECT_EQ(error.Code(), static_cast<long>(ERROR_FILE_NOT_FOUND)) << what;
  }
  Write(L"a.xlsx", "data");
  EXPECT_THROW(copier_.Copy(Path(L"a.xlsx"), Path(L"no such folder\\a Backup.xlsx")), SystemError);
  EXPECT_EQ(Names(), std::vector<std::wstring>{L"a.xlsx"});
}

// ---- regional clock --------------------------------------------------------

TEST(RegionalClock, NamesComeFromTheUserLocaleAndNowCountsSundayAsZero) {
  Win32RegionalClock clock;
  std::set<std::string> weekdays;
  for (int d = 0; d < 7; ++d) weekdays.insert(clock.WeekdayName(d));
  std::set<std::string> months;
  for (int m = 1; m <= 12; ++m) months.insert(clock.MonthAbbreviation(m));
  EXPECT_EQ(weekdays.size(), 7u);
  EXPECT_EQ(months.size(), 12u);
  EXPECT_FALSE(weekdays.count(""));
  EXPECT_FALSE(months.count(""));
  EXPECT_THROW(clock.WeekdayName(7), std::out_of_range);
  EXPECT_THROW(clock.MonthAbbreviation(0), std::out_of_range);

  wchar_t locale[LOCALE_NAME_MAX_LENGTH] = {};
  ::GetUserDefaultLocaleName(locale, LOCALE_NAME_MAX_LENGTH);
  if (std::wstring(locale) == L"en-US") {
    EXPECT_EQ(clock.WeekdayName(0), "Sunday");
    EXPECT_EQ(clock.WeekdayName(6), "Saturday");
    EXPECT_EQ(clock.MonthAbbreviation(12), "Dec");
    EXPECT_EQ(clock.AmPm(false), "AM");
    EXPECT_EQ(clock.AmPm(true), "PM");
  } else {
    EXPECT_NE(clock.AmPm(false), clock.AmPm(true)) << "locale " << Narrow(locale);
  }

  // Now is a plausible local time with Sunday as 0.
  const links::LocalDateTime now = clock.Now();
  EXPECT_GE(now.year, 2020);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12);
  EXPECT_TRUE(now.hour >= 0 && now.hour <= 23);
  // Weekday from the date alone (Sakamoto), to check the Sunday-is-0 mapping.
  static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  const int y = now.year - (now.month < 3 ? 1 : 0);
  const int weekday = (y + y / 4 - y / 100 + y / 400 + offsets[now.month - 1] + now.day) % 7;
  EXPECT_EQ(now.weekday, weekday);

  const std::string stamp = links::BackupTimeStamp(clock);
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{1,2} \d\d \S+ \S+, \S+ \d{1,2} \d{4})"))) << stamp;
}

// ---- message boxes ---------------------------------------------------------

// What a watcher thread saw of the box before it pressed a button.
struct SeenBox {
  std::wstring text;
  bool ownerDisabled = false;
  bool hasYes = false;
  bool hasOk = false;
};

// Finds the box captioned "Quorvane", records it and presses `button`.
std::thread PressWhenShown(HWND owner, int button, SeenBox& seen) {
  return std::thread([owner, button, &seen] {
    for (int i = 0; i < 400; ++i) {
      HWND box = ::FindWindowW(L"#32770", L"Quorvane");
      if (box && ::IsWindowVisible(box)) {
        wchar_t text[256] = {};
        ::GetDlgItemTextW(box, 0xFFFF, text, 256);  // the message's static control
        seen.text = text;
        seen.ownerDisabled = owner && !::IsWindowEnabled(owner);
        seen.hasYes = ::GetDlgItem(box, IDYES) != nullptr;
        seen.hasOk = ::GetDlgItem(box, IDOK) != nullptr;
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        return;
      }
      ::Sleep(25);
    }
  });
}

TEST(MessageBoxes, AppModalBoxesWithTheTitleAndTheUsersAnswer) {
  HWND owner = ::CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr,
                                 nullptr, ::GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(owner);
  Win32MessageBoxes boxes(owner);
  const struct {
    const char* text;
    base::MessageButtons buttons;
    int press;
    base::MessageAnswer answer;
  } cases[] = {{"Excel may be open.\r\n\r\nProceed?", base::MessageButtons::YesNo, IDNO, base::MessageAnswer::No},
               {"Sure?", base::MessageButtons::YesNo, IDYES, base::MessageAnswer::Yes},
               {"Done.", base::MessageButtons::Ok, IDOK, base::MessageAnswer::Ok}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SeenBox seen;
    std::thread watcher = PressWhenShown(owner, c.press, seen);
    EXPECT_EQ(boxes.Show(c.text, c.buttons), c.answer);
    watcher.join();
    EXPECT_EQ(seen.text, Widen(c.text));
    EXPECT_TRUE(seen.ownerDisabled);
    EXPECT_EQ(seen.hasYes, c.buttons == base::MessageButtons::YesNo);
    EXPECT_EQ(seen.hasOk, c.buttons == base::MessageButtons::Ok);
  }
  EXPECT_TRUE(::IsWindowEnabled(owner));
  ::DestroyWindow(owner);
}

}  // namespace
}  // namespace quorvane::win32
