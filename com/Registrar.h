// Applies a declared registry tree below an open parent key, in either direction.
#pragma once

#include <string>
#include <vector>

#include "com/RegistryTree.h"
#include "base/Win.h"

namespace com {

class Registrar {
 public:
  // `parent` stays the caller's: the machine's or the user's Software\Classes for a
  // server's own registration.
  explicit Registrar(HKEY parent) : parent_(parent) {}

  // Writes the tree. On a failure everything this call created is removed again and
  // the failure is returned.
  HRESULT Register(const std::vector<RegistryKey>& tree);
  // Removes what the tree owns; keys marked NoRemove stay, and so does a plain key that
  // still holds subkeys someone else put there. Missing keys are not an error.
  HRESULT Unregister(const std::vector<RegistryKey>& tree);

 private:
  HRESULT RegisterKey(HKEY parent, const std::wstring& parentPath, const RegistryKey& key);
  HRESULT UnregisterKey(HKEY parent, const RegistryKey& key);
  void RollBack();

  HKEY parent_;
  std::vector<std::wstring> created_;  // paths below parent_, in creation order
};

}  // namespace com
