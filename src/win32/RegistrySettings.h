#pragma once
// app::SettingsStore in the registry, laid out as the Visual Basic runtime's
// GetSetting/SaveSetting did, so a choice stored by earlier versions carries over:
// HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<app>\<section>, value <key>, REG_SZ.

#include <windows.h>

#include <string>

#include "app/Settings.h"

namespace quorvane::win32 {

class RegistrySettings final : public app::SettingsStore {
 public:
  RegistrySettings();
  // Another root and base key; for tests.
  RegistrySettings(HKEY root, std::wstring baseKey);

  // Absent key or value: "". Any other failure throws SystemError.
  std::string GetSetting(const std::string& appName, const std::string& section, const std::string& key) override;
  void SaveSetting(const std::string& appName, const std::string& section, const std::string& key,
                   const std::string& value) override;

 private:
  std::wstring KeyPath(const std::string& appName, const std::string& section) const;

  HKEY root_;
  std::wstring baseKey_;
};

}  // namespace quorvane::win32
