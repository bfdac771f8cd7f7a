// Where a loaded module lives on disk, as registration needs it.
#pragma once

#include <string>

#include "base/Win.h"

namespace com {

// The module's full path in its long form; empty when the system cannot tell.
std::wstring ModulePath(HMODULE module);

// The path with its extension replaced by `extension` (appended when there is none).
std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& extension);

// The path up to and including its last backslash, slash or colon.
std::wstring DirectoryOf(const std::wstring& path);

}  // namespace com
