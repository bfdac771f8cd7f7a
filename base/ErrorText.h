// Windows' own words for an error code, as a user reads them in a message or the log.
#pragma once

#include <string>

#include "base/Win.h"

namespace base {

// "Access is denied." and the like, without the line end; "error N" for a code Windows
// has no words for.
std::string ErrorText(DWORD code);

}  // namespace base
