// The file-open dialog of the "Add files" and "Download into" commands: any number of
// files of any type.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/Win.h"

class CFileOpenDialog {
 public:
  // Characters the classic dialog may return: a folder and every chosen name.
  static constexpr size_t kCapacity = 65535;

  // Shows the dialog owned by `owner`. True with the chosen paths, in the order the
  // dialog gives them; false, with `paths` empty, when the user cancels. The item
  // dialog has no limit on the choice; only where it is missing does the classic one
  // run, and a choice longer than kCapacity there gives false.
  bool Run(HWND owner, std::vector<std::string>& paths);

  // The paths in the classic dialog's answer: one full path, or a folder followed by
  // the names in it, each ended by a zero, the whole ended by an empty string.
  static std::vector<std::string> ParseSelection(std::wstring_view answer);

 private:
  // Gives false in `available` when the system has no item dialog.
  bool RunItemDialog(HWND owner, std::vector<std::string>& paths, bool& available);
  bool RunClassicDialog(HWND owner, std::vector<std::string>& paths);
};
