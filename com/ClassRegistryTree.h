// The keys every one of our automation classes writes below HKEY_CLASSES_ROOT: its
// versioned and version-independent ProgIDs and its CLSID entry.
#pragma once

#include <string>
#include <vector>

#include "com/RegistryTree.h"

namespace com {

struct ClassRegistration {
  std::wstring clsid;     // braced
  std::wstring title;     // default value of the ProgIDs and the CLSID key
  std::wstring progId;    // version-independent; the versioned one adds ".1"
  std::wstring typeLib;   // braced LIBID
  std::wstring modulePath;
};

// ProgID.1, ProgID and CLSID\{clsid} (under a CLSID key that is never removed).
std::vector<RegistryKey> ClassRegistryTree(const ClassRegistration& c);

}  // namespace com
