#include "ui/SettingsRegistry.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"

CSettingsRegistry theRegistry;

namespace {

HKEY RootKey(RegistryRoot root) {
  switch (root) {
    case ClassesRoot:
      return HKEY_CLASSES_ROOT;
    case CurrentUser:
      return HKEY_CURRENT_USER;
    case LocalMachine:
      return HKEY_LOCAL_MACHINE;
  }
  return nullptr;
}

}  // namespace

CSettingsRegistry::CSettingsRegistry(std::string prefix) : m_strPrefix(std::move(prefix)) {}

CSettingsRegistry::~CSettingsRegistry() = default;

void CSettingsRegistry::SplitValuePath(std::string_view fullPath, std::string& keyPath,
                                       std::string& valueName) {
  size_t slash = fullPath.rfind('\\');
  if (slash == std::string_view::npos) {
    keyPath.clear();
    valueName = fullPath;
    return;
  }
  keyPath = fullPath.substr(0, slash);
  valueName = fullPath.substr(slash + 1);
}

std::string CSettingsRegistry::FullPath(RegistryRoot root, std::string_view section,
                                        std::string_view name) const {
  std::string path;
  if (root != ClassesRoot) {
    path = "SOFTWARE\\";
    if (!m_strPrefix.empty()) {
      path += m_strPrefix;
      path += '\\';
    }
  }
  path += section;
  path += '\\';
  path += name;
  return path;
}

bool CSettingsRegistry::WriteString(RegistryRoot root, std::string_view section,
                                    std::string_view name, std::string_view text) const {
  HKEY rootKey = RootKey(root);
  if (!rootKey) return false;
  std::string keyPath, valueName;
  SplitValuePath(FullPath(root, section, name), keyPath, valueName);
  std::wstring wideKey = base::Widen(keyPath);

  base::UniqueRegKey key;
  if (RegOpenKeyExW(rootKey, wideKey.c_str(), 0, KEY_ALL_ACCESS, key.Put()) != ERROR_SUCCESS &&
      RegCreateKeyExW(rootKey, wideKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, key.Put(), nullptr) != ERROR_SUCCESS)
    return false;

  // The terminating zero is part of the stored value.
  std::wstring wideText = base::Widen(text);
  DWORD bytes = static_cast<DWORD>((wideText.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.Get(), base::Widen(valueName).c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(wideText.c_str()), bytes) == ERROR_SUCCESS;
}

bool CSettingsRegistry::WriteInteger(RegistryRoot root, std::string_view section,
                                     std::string_view name, long value) const {
  return WriteString(root, section, name, std::to_string(value));
}

bool CSettingsRegistry::ReadString(RegistryRoot root, std::string_view section,
                                   std::string_view name, std::string& text) const {
  DWORD type = REG_NONE;
  return ReadValue(root, section, name, text, type);
}

bool CSettingsRegistry::ReadText(RegistryRoot root, std::string_view section, std::string_view name,
                                 std::string& text) const {
  std::string read;
  DWORD type = REG_NONE;
  if (!ReadValue(root, section, name, read, type) || (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  text = std::move(read);
  return true;
}

bool CSettingsRegistry::ReadValue(RegistryRoot root, std::string_view section,
                                  std::string_view name, std::string& text, DWORD& type) const {
  std::string valueName;
  base::UniqueRegKey key = OpenForReading(root, section, name, valueName);
  if (!key) return false;

  wchar_t buffer[kReadCapacity] = {};
  type = REG_NONE;
  DWORD size = sizeof(buffer);
  LSTATUS status = RegQueryValueExW(key.Get(), base::Widen(valueName).c_str(), nullptr, &type,
                                    reinterpret_cast<BYTE*>(buffer), &size);
  key.Reset();
  if (status != ERROR_SUCCESS) return false;

  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      // Stored text is taken as it is: no expansion, and a value without its
      // terminating zero ends where its data ends (an odd last byte is no character).
      // A text that fills the whole buffer has no room for its zero: too long, as any
      // longer one.
      size_t length = wcsnlen(buffer, size / sizeof(wchar_t));
      if (length >= kReadCapacity) return false;
      text = base::Narrow(std::wstring_view(buffer, length));
      return true;
    }
    case REG_DWORD: {
      // Fewer or more bytes than a number has are no number.
      if (size != sizeof(std::uint32_t)) return false;
      std::uint32_t raw32 = 0;
      memcpy(&raw32, buffer, sizeof(raw32));
      text = std::to_string(static_cast<long>(static_cast<std::int32_t>(raw32)));
      return true;
    }
    case REG_BINARY:
      text = "Binary data";
      return false;
    default:
      text = "Can't convert to string";
      return false;
  }
}

bool CSettingsRegistry::ReadInteger(RegistryRoot root, std::string_view section,
                                    std::string_view name, long& value) const {
  std::string text;
  // A value with no text at all holds no number either; one that merely starts with
  // something else reads as 0.
  if (!ReadString(root, section, name, text) || text.empty()) return false;
  // Leading blanks, a sign, then digits up to the first other character.
  value = std::strtol(text.c_str(), nullptr, 10);
  return true;
}

bool CSettingsRegistry::ReadCount(std::string_view section, std::string_view name, long low,
                                  long high, long& value) const {
  std::string text;
  if (!ReadText(section, name, text)) return false;
  const size_t first = text.find_first_not_of(' ');
  const size_t last = text.find_last_not_of(' ');
  if (first == std::string::npos || last - first >= 9) return false;  // no room for overflow
  long number = 0;
  for (size_t i = first; i <= last; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    number = number * 10 + (text[i] - '0');
  }
  if (number < low || number > high) return false;
  value = number;
  return true;
}

bool CSettingsRegistry::KeyExists(RegistryRoot root, std::string_view section,
                                  std::string_view name) const {
  std::string valueName;
  return OpenForReading(root, section, name, valueName).Valid();
}

base::UniqueRegKey CSettingsRegistry::OpenForReading(RegistryRoot root, std::string_view section,
                                                     std::string_view name,
                                                     std::string& valueName) const {
  HKEY rootKey = RootKey(root);
  if (!rootKey) return {};
  std::string keyPath;
  SplitValuePath(FullPath(root, section, name), keyPath, valueName);
  base::UniqueRegKey key;
  if (RegOpenKeyExW(rootKey, base::Widen(keyPath).c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
    return {};
  return key;
}

bool CSettingsRegistry::WriteString(std::string_view section, std::string_view name,
                                    std::string_view text) const {
  return WriteString(CurrentUser, section, name, text);
}

bool CSettingsRegistry::WriteInteger(std::string_view section, std::string_view name,
                                     long value) const {
  return WriteInteger(CurrentUser, section, name, value);
}

bool CSettingsRegistry::ReadString(std::string_view section, std::string_view name,
                                   std::string& text) const {
  return ReadString(CurrentUser, section, name, text);
}

bool CSettingsRegistry::ReadText(std::string_view section, std::string_view name,
                                 std::string& text) const {
  return ReadText(CurrentUser, section, name, text);
}

bool CSettingsRegistry::ReadInteger(std::string_view section, std::string_view name,
                                    long& value) const {
  return ReadInteger(CurrentUser, section, name, value);
}

bool CSettingsRegistry::ValueExists(std::string_view section, std::string_view name) const {
  std::string valueName;
  base::UniqueRegKey key = OpenForReading(CurrentUser, section, name, valueName);
  if (!key) return false;
  // No buffer: a value too long for any buffer still exists.
  return RegQueryValueExW(key.Get(), base::Widen(valueName).c_str(), nullptr, nullptr, nullptr,
                          nullptr) == ERROR_SUCCESS;
}

bool CSettingsRegistry::KeyExists(std::string_view section, std::string_view name) const {
  return KeyExists(CurrentUser, section, name);
}
