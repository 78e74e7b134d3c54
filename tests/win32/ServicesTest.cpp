#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

#include "support/ScratchDir.h"
#include "win32/Error.h"
#include "win32/MessageBoxes.h"
#include "win32/RegionalClock.h"
#include "win32/RegistrySettings.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

TEST(RegistrySettings, RoundTripUsesTheRuntimeKeyLayoutKeepsTextAsStoredAndRejectsOtherTypes) {
  const std::string app = "QuorvaneTest-" + std::to_string(::GetCurrentProcessId());
  const std::wstring key = L"Software\\VB and VBA Program Settings\\" + Widen(app);
  RegistrySettings store;
  EXPECT_EQ(store.GetSetting(app, "Quorvane", "BackupCheck"), "");  // no key at all
  for (const char* text : {"True", "true", " \xC3\xA9t\xC3\xA9 ", ""}) {
    store.SaveSetting(app, "Quorvane", "BackupCheck", text);
    EXPECT_EQ(store.GetSetting(app, "Quorvane", "BackupCheck"), text);
  }
  EXPECT_EQ(store.GetSetting(app, "Quorvane", "Other"), "");  // key there, value absent
  // Where and how it lies: a REG_SZ under <base>\<app>\<section>.
  store.SaveSetting(app, "Quorvane", "BackupCheck", "True");
  wchar_t raw[16] = {};
  DWORD bytes = sizeof raw, type = 0;
  ASSERT_EQ(
      ::RegGetValueW(HKEY_CURRENT_USER, (key + L"\\Quorvane").c_str(), L"BackupCheck", RRF_RT_ANY, &type, raw, &bytes),
      ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(raw, L"True");
  // A value of another type is an error, not empty text.
  const DWORD number = 1;
  ::RegSetKeyValueW(HKEY_CURRENT_USER, (key + L"\\Quorvane").c_str(), L"BackupCheck", REG_DWORD, &number,
                    sizeof number);
  EXPECT_THROW(store.GetSetting(app, "Quorvane", "BackupCheck"), SystemError);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

TEST(RegionalClock, NamesComeFromTheUserLocaleAndNowCountsSundayAsZero) {
  Win32RegionalClock clock;
  std::set<std::string> names;
  for (int d = 0; d < 7; ++d) names.insert(clock.WeekdayName(d));
  for (int m = 1; m <= 12; ++m) names.insert(clock.MonthAbbreviation(m) + ".");
  names.insert("");
  EXPECT_EQ(names.size(), 7u + 12u + 1u) << "a name empty or repeated";
  EXPECT_THROW(clock.WeekdayName(7), std::out_of_range);
  EXPECT_THROW(clock.MonthAbbreviation(0), std::out_of_range);
  wchar_t locale[LOCALE_NAME_MAX_LENGTH] = {};
  ::GetUserDefaultLocaleName(locale, LOCALE_NAME_MAX_LENGTH);
  if (std::wstring(locale) == L"en-US") {
    EXPECT_EQ(clock.WeekdayName(0) + clock.WeekdayName(6) + clock.MonthAbbreviation(12), "SundaySaturdayDec");
    EXPECT_EQ(clock.AmPm(false) + clock.AmPm(true), "AMPM");
  }
  EXPECT_NE(clock.AmPm(false), clock.AmPm(true)) << "locale " << Narrow(locale);

  // Now is a plausible local time with Sunday as 0.
  const links::LocalDateTime now = clock.Now();
  EXPECT_TRUE(now.year >= 2020 && now.month >= 1 && now.month <= 12 && now.hour >= 0 && now.hour <= 23);
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  EXPECT_TRUE(now.weekday == local.wDayOfWeek && now.day == local.wDay) << "read at midnight?";

  const std::string stamp = links::BackupTimeStamp(clock);
  EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{1,2} \d\d \S+ \S+, \S+ \d{1,2} \d{4})"))) << stamp;
}

// Finds the box captioned "Quorvane", describes it and presses `button`.
std::thread PressWhenShown(HWND owner, int button, std::wstring& seen) {
  return std::thread([owner, button, &seen] {
    for (int i = 0; i < 400; ++i, ::Sleep(25)) {
      HWND box = ::FindWindowW(L"#32770", L"Quorvane");
      if (!box || !::IsWindowVisible(box)) continue;
      wchar_t text[256] = {};
      ::GetDlgItemTextW(box, 0xFFFF, text, 256);  // the message's static control
      seen = std::wstring(text) + (::IsWindowEnabled(owner) ? L"" : L"; owner disabled") +
             (::GetDlgItem(box, IDYES) ? L"; Yes" : L"") + (::GetDlgItem(box, IDOK) ? L"; OK" : L"");
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
      return;
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
    const wchar_t* seen;
  } cases[] = {{"Excel may be open.\r\n\r\nProceed?", base::MessageButtons::YesNo, IDNO, base::MessageAnswer::No,
                L"Excel may be open.\r\n\r\nProceed?; owner disabled; Yes"},
               {"Sure?", base::MessageButtons::YesNo, IDYES, base::MessageAnswer::Yes, L"Sure?; owner disabled; Yes"},
               {"Done.", base::MessageButtons::Ok, IDOK, base::MessageAnswer::Ok, L"Done.; owner disabled; OK"}};
  for (const auto& c : cases) {
    std::wstring seen;
    std::thread watcher = PressWhenShown(owner, c.press, seen);
    EXPECT_EQ(boxes.Show(c.text, c.buttons), c.answer) << c.text;
    watcher.join();
    EXPECT_EQ(seen, c.seen);
  }
  EXPECT_TRUE(::IsWindowEnabled(owner));
  ::DestroyWindow(owner);
}

}  // namespace
}  // namespace quorvane::win32
