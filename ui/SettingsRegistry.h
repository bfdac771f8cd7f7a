// The program's per-user settings: every value is text under
// HKEY_CURRENT_USER\SOFTWARE\[prefix\]section, one key opened and closed per operation.
#pragma once

#include "base/UniqueHandle.h"

#include <string>
#include <string_view>

enum RegistryRoot : int {
  ClassesRoot = 1,   // HKEY_CLASSES_ROOT, path is section\name alone
  CurrentUser = 2,   // HKEY_CURRENT_USER\SOFTWARE\...
  LocalMachine = 3,  // HKEY_LOCAL_MACHINE\SOFTWARE\...
};

class CSettingsRegistry {
 public:
  // Values read back only when their text is shorter than this many characters.
  static constexpr size_t kReadCapacity = 256;

  explicit CSettingsRegistry(std::string prefix = {});
  ~CSettingsRegistry();

  // Current-user forms; the program stores all its settings through these.
  bool WriteString(std::string_view section, std::string_view name, std::string_view text) const;
  bool WriteInteger(std::string_view section, std::string_view name, long value) const;
  // A failed read leaves `text` alone, except for values of a type that has no text
  // form: those get "Binary data" or "Can't convert to string" and still fail.
  bool ReadString(std::string_view section, std::string_view name, std::string& text) const;
  // As ReadString, for a value that must be text: one stored as a number or as data
  // fails and leaves `text` alone.
  bool ReadText(std::string_view section, std::string_view name, std::string& text) const;
  // Reads the text and takes its leading decimal number (0 when it has none). A failed
  // read leaves `value` alone, so callers pass their default in it.
  bool ReadInteger(std::string_view section, std::string_view name, long& value) const;
  // A count the user set: text of decimal digits alone (blanks around allowed) whose
  // number lies in [low, high]. Anything else (a number value, a sign, other text, out
  // of range) fails and leaves `value` alone, so callers pass their default in it.
  bool ReadCount(std::string_view section, std::string_view name, long low, long high,
                 long& value) const;
  bool KeyExists(std::string_view section, std::string_view name) const;
  // Whether the value is stored at all, of whatever type and length.
  bool ValueExists(std::string_view section, std::string_view name) const;

  // The same under a chosen root. A root other than the three above fails at once.
  bool WriteString(RegistryRoot root, std::string_view section, std::string_view name,
                   std::string_view text) const;
  bool WriteInteger(RegistryRoot root, std::string_view section, std::string_view name,
                    long value) const;
  bool ReadString(RegistryRoot root, std::string_view section, std::string_view name,
                  std::string& text) const;
  bool ReadText(RegistryRoot root, std::string_view section, std::string_view name,
                std::string& text) const;
  bool ReadInteger(RegistryRoot root, std::string_view section, std::string_view name,
                   long& value) const;
  bool KeyExists(RegistryRoot root, std::string_view section, std::string_view name) const;

  const std::string& Prefix() const { return m_strPrefix; }

  // Everything before the last backslash is the key path, the rest the value name; a
  // path without a backslash is all value name.
  static void SplitValuePath(std::string_view fullPath, std::string& keyPath,
                             std::string& valueName);

 private:
  // The full value path for `root`: SOFTWARE\[prefix\]section\name, or section\name
  // under the classes root.
  std::string FullPath(RegistryRoot root, std::string_view section, std::string_view name) const;
  // Opens the key that holds the value for reading and gives the value's name; an
  // empty key when the root is unknown or the key does not exist.
  // Reads the value into `text` by the conversion of ReadString and gives its stored type.
  bool ReadValue(RegistryRoot root, std::string_view section, std::string_view name,
                 std::string& text, DWORD& type) const;
  base::UniqueRegKey OpenForReading(RegistryRoot root, std::string_view section,
                                    std::string_view name, std::string& valueName) const;

  std::string m_strPrefix;
};

// The program's one settings store, with no prefix.
extern CSettingsRegistry theRegistry;
