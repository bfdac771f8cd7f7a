// The context menu of the task list: which commands a task's state allows, and the
// pop-up itself.
#pragma once

#include <vector>

#include "base/Win.h"

class CTaskMenu {
 public:
  // The commands grayed for a task in `state`. "Open file", "Source folder",
  // "Destination folder", "Delete" and "Remove from list" are never among them.
  static std::vector<UINT> GrayedCommands(int state);

  // For several tasks: the commands grayed for every one of them.
  static std::vector<UINT> GrayedCommands(const std::vector<int>& states);
  static bool Allows(int state, UINT id);

  // Grays the items of `menu` that none of `states` allows.
  static void ApplyState(HMENU menu, const std::vector<int>& states);

  // Shows the menu for tasks in `states` with its top-left corner at `screen` and
  // returns the chosen command; 0 when none was chosen or the menu cannot be loaded.
  static UINT Show(HWND owner, POINT screen, const std::vector<int>& states);
};
