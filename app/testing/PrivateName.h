// Names of shared objects private to one test, so tests never meet each other's (or a
// running program's) instance and hand-off areas.
#pragma once

#include <string>

#include "base/Win.h"

#include <objbase.h>

namespace apptest {

inline std::wstring PrivateName(const wchar_t* what) {
  GUID g;
  CoCreateGuid(&g);
  wchar_t id[64];
  StringFromGUID2(g, id, 64);
  return std::wstring(L"TolvaTest-") + what + L"-" + id;
}

}  // namespace apptest
