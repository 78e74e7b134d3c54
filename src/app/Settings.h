#pragma once
// The one remembered choice, the backup option, and the store it lives in.

#include <chrono>
#include <string>

#include "base/Controls.h"

namespace quorvane::app {

// The per-user store of named texts. Both calls throw std::exception on a
// store that cannot be read or written; an absent value reads as "".
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  virtual std::string GetSetting(const std::string& appName, const std::string& section,
                                 const std::string& key) = 0;
  virtual void SaveSetting(const std::string& appName, const std::string& section,
                           const std::string& key, const std::string& value) = 0;
};

inline constexpr const char* kSettingsApp = "Tarnwick";
inline constexpr const char* kSettingsSection = "Quorvane";
inline constexpr const char* kBackupKey = "BackupCheck";
// Seconds one Excel call may take before its instance is ended; no control
// sets it, only the registry.
inline constexpr const char* kExcelTimeoutKey = "ExcelTimeout";

// Start-up: ticks the box only for exactly "True". Ticking raises the box's
// click handler, which writes "True" again; an unreadable store leaves it unticked.
void RestoreBackupOption(SettingsStore& store, base::CheckBox& check3);

// The stored call deadline: a whole number of seconds from 1 to
// base::kLongestExcelDeadline, base::kDefaultExcelDeadline when absent,
// unreadable or anything else.
std::chrono::seconds StoredExcelTimeout(SettingsStore& store);

// The box's click handler: stores "True" or "False". A store that cannot be
// written is ignored so the tool keeps working; the box still counts.
void StoreBackupOption(SettingsStore& store, const base::CheckBox& check3);

}  // namespace quorvane::app
