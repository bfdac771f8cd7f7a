// Text of a string table entry, as UTF-8.
#pragma once

#include <string>

#include "base/Win.h"

namespace winui {

// String `id` of `instance` (the program when null); empty when there is none.
std::string LoadStringResource(UINT id, HINSTANCE instance = nullptr);

}  // namespace winui
