// The context menu of the task list: which commands a task's state allows, and the
// pop-up itself.
#pragma once

#include <vector>

#include "base/Win.h"

class CTaskMenu {
 public:
  // The commands grayed for a task in `state`. "Source folder", "Destination folder"
  // and "Delete" are never among them.
  static std::vector<UINT> GrayedCommands(int state);

  // Grays the items of `menu` that `state` does not allow.
  static void ApplyState(HMENU menu, int state);

  // Shows the menu for a task in `state` with its top-left corner at `screen`. The
  // chosen item reaches `owner` as a command. False when the menu cannot be loaded.
  static bool Show(HWND owner, POINT screen, int state);
};
