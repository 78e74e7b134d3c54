#include "win32/RegistrySettings.h"

#include "win32/Error.h"
#include "win32/Resource.h"
#include "win32/Strings.h"

namespace quorvane::win32 {

RegistrySettings::RegistrySettings() : RegistrySettings(HKEY_CURRENT_USER, L"Software\\VB and VBA Program Settings") {}

RegistrySettings::RegistrySettings(HKEY root, std::wstring baseKey) : root_(root), baseKey_(std::move(baseKey)) {}

std::wstring RegistrySettings::KeyPath(const std::string& appName, const std::string& section) const {
  return baseKey_ + L"\\" + Widen(appName) + L"\\" + Widen(section);
}

std::string RegistrySettings::GetSetting(const std::string& appName, const std::string& section,
                                         const std::string& key) {
  const std::wstring path = KeyPath(appName, section);
  UniqueHkey hkey;
  LSTATUS status = ::RegOpenKeyExW(root_, path.c_str(), 0, KEY_QUERY_VALUE, hkey.put());
  if (status == ERROR_FILE_NOT_FOUND) return {};
  if (status != ERROR_SUCCESS) ThrowWin32(static_cast<DWORD>(status), "Cannot open the settings key");

  const std::wstring name = Widen(key);
  const DWORD types = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  // The value may grow between the two calls; ask again until it fits.
  for (;;) {
    DWORD bytes = 0;
    status = ::RegGetValueW(hkey.get(), nullptr, name.c_str(), types, nullptr, nullptr, &bytes);
    if (status == ERROR_FILE_NOT_FOUND) return {};
    if (status != ERROR_SUCCESS) ThrowWin32(static_cast<DWORD>(status), "Cannot read the setting " + key);
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    status = ::RegGetValueW(hkey.get(), nullptr, name.c_str(), types, nullptr, text.data(), &bytes);
    if (status == ERROR_MORE_DATA) continue;
    if (status == ERROR_FILE_NOT_FOUND) return {};
    if (status != ERROR_SUCCESS) ThrowWin32(static_cast<DWORD>(status), "Cannot read the setting " + key);
    text.resize(bytes / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return Narrow(text);
  }
}

void RegistrySettings::SaveSetting(const std::string& appName, const std::string& section, const std::string& key,
                                   const std::string& value) {
  const std::wstring path = KeyPath(appName, section);
  UniqueHkey hkey;
  LSTATUS status = ::RegCreateKeyExW(root_, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                     nullptr, hkey.put(), nullptr);
  if (status != ERROR_SUCCESS) ThrowWin32(static_cast<DWORD>(status), "Cannot create the settings key");
  const std::wstring name = Widen(key);
  const std::wstring text = Widen(value);
  const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  status = ::RegSetValueExW(hkey.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
  if (status != ERROR_SUCCESS) ThrowWin32(static_cast<DWORD>(status), "Cannot store the setting " + key);
}

}  // namespace quorvane::win32
