// The folder dialog of "Download into...".
#pragma once

#include <string>

#include "shellext/Shell.h"

namespace shellext {

// Shows the shell's folder dialog, owned by `owner`, with `path` preselected when it is
// not empty. True with `path` set to the chosen folder's file-system path; false when
// the user cancels, the item has no file-system path, or the shell's allocator fails.
bool BrowseForFolder(std::wstring& path, HWND owner);

}  // namespace shellext
