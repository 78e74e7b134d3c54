// The platform services and text conversions against the real system.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "win32/Error.h"
#include "win32/MessageFilter.h"
#include "win32/RegionalClock.h"
#include "win32/RegistrySettings.h"
#include "win32/Strings.h"

namespace quorvane::win32 {
namespace {

// Text kept as stored, as a REG_SZ under <base>\<app>\<section>; a value of
// another type is an error, not empty text.
TEST(RegistrySettings, RoundTripUsesTheRuntimeKeyLayoutKeepsTextAsStoredAndRejectsOtherTypes) {
  const std::string app = "QuorvaneTest-" + std::to_string(::GetCurrentProcessId());
  const std::wstring key = L"Software\\VB and VBA Program Settings\\" + Widen(app);
  const std::wstring section = key + L"\\Quorvane";
  RegistrySettings store;
  EXPECT_EQ(store.GetSetting(app, "Quorvane", "BackupCheck"), "");  // no key at all
  for (const char* text : {" \xC3\xA9t\xC3\xA9 ", "", "True"}) {
    store.SaveSetting(app, "Quorvane", "BackupCheck", text);
    EXPECT_EQ(store.GetSetting(app, "Quorvane", "BackupCheck"), text);
  }
  EXPECT_EQ(store.GetSetting(app, "Quorvane", "Other"), "");  // key there, value absent
  wchar_t raw[16] = {};
  DWORD bytes = sizeof raw;
  ASSERT_EQ(::RegGetValueW(HKEY_CURRENT_USER, section.c_str(), L"BackupCheck", RRF_RT_REG_SZ, nullptr, raw, &bytes),
            ERROR_SUCCESS);
  EXPECT_STREQ(raw, L"True");
  const DWORD number = 1;
  ::RegSetKeyValueW(HKEY_CURRENT_USER, section.c_str(), L"BackupCheck", REG_DWORD, &number, sizeof number);
  EXPECT_THROW(store.GetSetting(app, "Quorvane", "BackupCheck"), SystemError);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

// The names come from the user's locale, Sunday first, as the backup names use them.
TEST(RegionalClock, NamesComeFromTheUserLocaleAndNowCountsSundayAsZero) {
  Win32RegionalClock clock;
  std::set<std::string> names{"", clock.AmPm(false), clock.AmPm(true)};
  for (int d = 0; d < 7; ++d) names.insert(clock.WeekdayName(d));
  for (int m = 1; m <= 12; ++m) names.insert(clock.MonthAbbreviation(m) + ".");
  EXPECT_EQ(names.size(), 1u + 2u + 7u + 12u) << "a name empty or repeated";
  EXPECT_THROW(clock.WeekdayName(7), std::out_of_range);
  EXPECT_THROW(clock.MonthAbbreviation(0), std::out_of_range);
  wchar_t locale[LOCALE_NAME_MAX_LENGTH] = {};
  ::GetUserDefaultLocaleName(locale, LOCALE_NAME_MAX_LENGTH);
  EXPECT_TRUE(std::wstring(locale) != L"en-US" ||
              clock.WeekdayName(0) + clock.WeekdayName(6) + clock.MonthAbbreviation(12) == "SundaySaturdayDec");

  const links::LocalDateTime now = clock.Now();
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  EXPECT_TRUE(now.weekday == local.wDayOfWeek && now.day == local.wDay && now.month == local.wMonth)
      << "read at midnight?";
}

// The message filter of a thread that calls Excel. Wine does not pass a
// server's "retry later" to the caller's filter, so its answers are asked
// directly here; the retries the caller sees are in ComExcelTest.
TEST(MessageFilter, RetriesABusyServerUntilTheWindowHasPassedAndNothingElse) {
  const RetryTimes times{std::chrono::milliseconds(60000), std::chrono::milliseconds(150)};
  const auto filter = NewRetryingMessageFilter(times);
  const DWORD giveUp = static_cast<DWORD>(-1);
  for (const auto& [elapsedMs, rejectType, answer] :
       {std::tuple{0ul, SERVERCALL_RETRYLATER, 150ul}, {59999ul, SERVERCALL_RETRYLATER, 150ul},
        {60000ul, SERVERCALL_RETRYLATER, giveUp}, {0ul, SERVERCALL_REJECTED, giveUp}})
    EXPECT_EQ(filter->RetryRejectedCall(nullptr, elapsedMs, rejectType), answer) << elapsedMs;
  // Calls into this thread are taken; while a call is out, paint goes on and input waits.
  EXPECT_EQ(filter->HandleInComingCall(CALLTYPE_TOPLEVEL, nullptr, 0, nullptr),
            static_cast<DWORD>(SERVERCALL_ISHANDLED));
  EXPECT_EQ(filter->MessagePending(nullptr, 0, PENDINGTYPE_TOPLEVEL), static_cast<DWORD>(PENDINGMSG_WAITDEFPROCESS));
}

// Registering one filter in place of another: each returns the one that was there.
ComPtr<IMessageFilter> Swap(IMessageFilter* filter) {
  ComPtr<IMessageFilter> previous;
  EXPECT_TRUE(SUCCEEDED(::CoRegisterMessageFilter(filter, previous.put())));
  return previous;
}

TEST(MessageFilter, TheScopePutsBackTheFilterThatWasThere) {
  const auto someoneElses = NewRetryingMessageFilter({});
  const auto before = Swap(someoneElses.get());
  {
    const MessageFilterScope scope({});
    ASSERT_TRUE(scope.Registered());
    const auto during = Swap(nullptr);
    EXPECT_TRUE(during && during.get() != someoneElses.get());
    Swap(during.get());
  }
  EXPECT_EQ(Swap(before.get()).get(), someoneElses.get());
}

TEST(Strings, RoundTripsNonAsciiAndRejectsMalformedText) {
  const std::string text = "C:\\Daten\\\xC3\x9C" "bersicht \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80.xlsx";
  EXPECT_EQ(Widen(text), L"C:\\Daten\\\u00DCbersicht \u6771\u4EAC \U0001F600.xlsx");
  EXPECT_EQ(Narrow(Widen(text)) + Narrow(Widen("")), text);
  EXPECT_THROW(Widen("abc\xC3("), std::range_error);
  EXPECT_THROW(Narrow(std::wstring(1, static_cast<wchar_t>(0xD800))), std::range_error);
}

}  // namespace
}  // namespace quorvane::win32
