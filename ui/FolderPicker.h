// The shell's folder browser, started at a given folder.
#pragma once

#include <string>

#include "base/Utf8.h"
#include "winui/FolderDialog.h"

#include <shlobj.h>

class CFolderPicker {
 public:
  static constexpr char kTitle[] = "Select folder to download files:";
  // The title when the folder chosen is itself to be downloaded.
  static constexpr char kSourceTitle[] = "Select a folder to download:";

  // True with the chosen folder in `path`. False, with `path` unchanged, when the user
  // cancels or the browser cannot start. The browser opens on `path` when it names a
  // folder, else with nothing selected.
  bool PickFolder(std::string& path, HWND owner, const char* title = kTitle) {
    std::wstring wide = base::Widen(path);
    // Only folders on disk have a path to download into.
    if (!winui::BrowseForFolder(wide, owner, base::Widen(title).c_str(), BIF_RETURNONLYFSDIRS))
      return false;
    path = base::Narrow(wide);
    return true;
  }
};
