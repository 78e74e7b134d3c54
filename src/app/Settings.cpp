#include "app/Settings.h"

#include <exception>

#include "base/Excel.h"

namespace quorvane::app {

void RestoreBackupOption(SettingsStore& store, base::CheckBox& check3) {
  std::string stored;
  try {
    stored = store.GetSetting(kSettingsApp, kSettingsSection, kBackupKey);
  } catch (const std::exception&) {
    stored.clear();
  }
  check3.SetValue(stored == "True" ? 1 : 0);
}

std::chrono::seconds StoredExcelTimeout(SettingsStore& store) {
  std::string text;
  try {
    text = store.GetSetting(kSettingsApp, kSettingsSection, kExcelTimeoutKey);
  } catch (const std::exception&) {
    return base::kDefaultExcelDeadline;
  }
  const auto first = text.find_first_not_of(' ');
  const auto last = text.find_last_not_of(' ');
  if (first == std::string::npos) return base::kDefaultExcelDeadline;
  long long seconds = 0;
  for (std::size_t i = first; i <= last; ++i) {
    if (text[i] < '0' || text[i] > '9') return base::kDefaultExcelDeadline;
    seconds = seconds * 10 + (text[i] - '0');
    if (seconds > base::kLongestExcelDeadline.count()) return base::kDefaultExcelDeadline;
  }
  if (seconds < 1) return base::kDefaultExcelDeadline;
  return std::chrono::seconds(seconds);
}

void StoreBackupOption(SettingsStore& store, const base::CheckBox& check3) {
  try {
    store.SaveSetting(kSettingsApp, kSettingsSection, kBackupKey, check3.Value() == 0 ? "False" : "True");
  } catch (const std::exception&) {
    // Nothing to tell the user that would help; the option still works for this run.
  }
}

}  // namespace quorvane::app
