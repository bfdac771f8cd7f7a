// A 64-bit value from the two halves Windows hands out (sizes, FILETIMEs, file ids).
#pragma once

#include <cstdint>

#include "base/Win.h"

namespace base {

inline uint64_t JoinHalves(DWORD high, DWORD low) { return (uint64_t{high} << 32) | low; }

}  // namespace base
