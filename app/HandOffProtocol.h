// What two processes of the program share to pass a later start's arguments to the
// running one.
#pragma once

#include <string>

#include "base/Win.h"

// Named shared memory that carries one hand-off text.
inline constexpr wchar_t HANDOFF_AREA_NAME[] = L"{5F474820-9FE0-48df-AD98-224EF79F41B1}";
inline constexpr DWORD HANDOFF_AREA_SIZE = 0x10000;

// Posted to the running instance's main thread; both parameters are 0.
inline constexpr UINT WM_HANDOFF = 3029;

// The instance counter and the running instance's thread id, per session.
inline constexpr wchar_t INSTANCE_AREA_NAME[] =
    L"Tolva-Instances-{5F474820-9FE0-48df-AD98-224EF79F41B1}";

namespace handoff {

// The text starts the area, ended by a zero byte. The last four bytes hold the state
// word below, so a text is read once and never while a writer is overwriting it.
inline constexpr DWORD kStateOffset = HANDOFF_AREA_SIZE - sizeof(LONG);
inline constexpr size_t kMaxTextBytes = kStateOffset - 1;

enum State : LONG {
  kFree = 0,     // nothing unread; a writer may write
  kPending = 1,  // a text waits for the running instance
  kReading = 2,  // the running instance is copying it out
};

// Held by a writer from before it writes until it has posted, so that concurrent later
// starts take turns.
inline std::wstring WriterLockName(const std::wstring& areaName) { return areaName + L"-writer"; }

// Set by a writer once its text is pending: the running instance's reader thread wakes
// at once, whatever its window is busy with.
inline std::wstring TextEventName(const std::wstring& areaName) { return areaName + L"-text"; }

// Set by the running instance each time it has taken a text: a waiting writer wakes at
// once instead of looking at the state word again and again (each look a round trip to
// the wineserver under Wine).
inline std::wstring TakenEventName(const std::wstring& areaName) { return areaName + L"-taken"; }

}  // namespace handoff
