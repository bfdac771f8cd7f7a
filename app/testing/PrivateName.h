// Names of shared objects private to one test, so tests never meet each other's (or a
// running program's) instance and hand-off areas.
#pragma once

#include <string>

#include "testing/Testing.h"

namespace apptest {

inline std::wstring PrivateName(const wchar_t* what) {
  return std::wstring(L"TolvaTest-") + what + L"-" + tolvatest::UniqueText();
}

}  // namespace apptest
