// How long a window takes to answer a message that does nothing: the measure of a
// window that never freezes.
#pragma once

#include <algorithm>

#include "base/Win.h"

namespace windowtest {

constexpr ULONGLONG kAnswerMs = 200;

// How long the window takes to answer a message that does nothing (1000 = no answer).
inline ULONGLONG AnswerMs(HWND window) {
  ULONGLONG start = GetTickCount64();
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result)) return 1000;
  return GetTickCount64() - start;
}

// The slowest answer over `forMs`, asking every 20 ms.
inline ULONGLONG WorstAnswerMs(HWND window, ULONGLONG forMs) {
  ULONGLONG worst = 0;
  for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < forMs; Sleep(20))
    worst = std::max(worst, AnswerMs(window));
  return worst;
}

}  // namespace windowtest
