#include "app/Settings.h"

#include <exception>

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

void StoreBackupOption(SettingsStore& store, const base::CheckBox& check3) {
  try {
    store.SaveSetting(kSettingsApp, kSettingsSection, kBackupKey, check3.Value() == 0 ? "False" : "True");
  } catch (const std::exception&) {
    // Nothing to tell the user that would help; the option still works for this run.
  }
}

}  // namespace quorvane::app
