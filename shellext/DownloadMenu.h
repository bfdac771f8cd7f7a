// The two context-menu entries and their help text, apart from any COM object.
#pragma once

#include <string>

#include "shellext/Shell.h"

namespace shellext {

enum DownloadCommand : UINT {
  kDownload = 0,      // into the program's default download folder
  kDownloadInto = 1,  // into a folder the user picks
  kCommandCount = 2,
};

// Inserts separator, "Download...", "Download into...", separator at `index` onwards,
// with command identifiers idCmdFirst and idCmdFirst + 1.
void InsertDownloadEntries(HMENU menu, UINT index, UINT idCmdFirst);

// Shows `download` and `downloadInto` (either may be null) beside the two entries.
void SetDownloadBitmaps(HMENU menu, UINT index, HBITMAP download, HBITMAP downloadInto);

// Answers IContextMenu::GetCommandString with `text`: help-text requests get it in the
// requested width, cut to fit `cchMax` characters with its NUL; verb and validation
// requests are answered without touching the buffer.
HRESULT CopyCommandString(const std::wstring& text, UINT type, char* name, UINT cchMax);

}  // namespace shellext
