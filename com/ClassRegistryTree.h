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

// ProgID.1, ProgID and CLSID\{clsid} (under a CLSID key that is never removed). The
// ProgID keys are one key for 32-bit and 64-bit programs alike, while CLSID has a copy
// for each: when the class is also registered for the other pointer size, the ProgIDs
// are marked NoRemove, so that removing one library keeps the other reachable by name.
std::vector<RegistryKey> ClassRegistryTree(const ClassRegistration& c);

// Whether the class has an in-process server registered in the other pointer size's
// view of the registry (32-bit seen from 64-bit code, or 64-bit under WOW64). Always
// false on 32-bit Windows, which has one view.
bool RegisteredInOtherView(const std::wstring& clsid);

}  // namespace com
