// The shell's folder dialog, as the program and the shell extension both show it.
#pragma once

#include <string>

#include "base/Win.h"

namespace winui {

// Shows the shell's folder dialog owned by `owner`, titled `title`, with `flags` (BIF_
// bits), opened on `path` when it names a folder, else with nothing selected. True with
// `path` set to the chosen folder's file-system path; false, with `path` unchanged, when
// the user cancels, the item has no file-system path, or the dialog cannot start.
bool BrowseForFolder(std::wstring& path, HWND owner, const wchar_t* title, UINT flags);

}  // namespace winui
