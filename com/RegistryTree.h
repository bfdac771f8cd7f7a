// A declared registry tree: what an in-process server writes at registration and takes
// away at unregistration. The mark of each key says how it is treated.
#pragma once

#include <string>
#include <vector>

namespace com {

enum class KeyMark {
  // Created if missing, values set; deleted at unregistration.
  Plain,
  // Shared with others: created if missing and descended into; never deleted.
  NoRemove,
  // Owned whole: deleted with its subtree and created anew; deleted with its subtree.
  ForceRemove,
};

struct RegistryValue {
  std::wstring name;  // empty for the key's default value
  std::wstring data;  // always written as REG_SZ
};

struct RegistryKey {
  std::wstring name;
  KeyMark mark = KeyMark::Plain;
  std::vector<RegistryValue> values;
  std::vector<RegistryKey> subkeys;
};

}  // namespace com
