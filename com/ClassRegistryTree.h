// The keys every one of our automation classes writes below HKEY_CLASSES_ROOT: its
// versioned and version-independent ProgIDs and its CLSID entry.
#pragma once

#include <string>
#include <vector>

#include "base/Win.h"
#include "com/RegistryTree.h"

namespace com {

struct ClassRegistration {
  std::wstring clsid;    // braced
  std::wstring title;    // default value of the ProgIDs and the CLSID key
  std::wstring progId;   // version-independent; the versioned one adds ".1"
  std::wstring typeLib;  // braced LIBID
  std::wstring modulePath;
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as the registry spells a class or library.
std::wstring GuidText(const GUID& guid);

// ProgID.1, ProgID and CLSID\{clsid} (under a CLSID key that is never removed).
std::vector<RegistryKey> ClassRegistryTree(const ClassRegistration& c);

// The ProgID keys are one key for 32-bit and 64-bit programs alike, while CLSID has a
// copy for each: before a library is removed from the classes of `root` (HKLM or HKCU),
// the ProgIDs of `tree` whose class another library still serves in the other pointer
// size's view there are marked NoRemove, so that it stays reachable by name.
void KeepProgIdsOfOtherView(std::vector<RegistryKey>& tree, HKEY root, const std::wstring& ownPath);

// Whether root\Software\Classes\CLSID\{clsid} has an in-process server other than
// `ownPath` in the other pointer size's view (32-bit seen from 64-bit code, or 64-bit
// under WOW64). Always false on 32-bit Windows, which has one view.
bool RegisteredInOtherView(HKEY root, const std::wstring& clsid, const std::wstring& ownPath);

}  // namespace com
