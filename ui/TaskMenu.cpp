#include "ui/TaskMenu.h"

#include <algorithm>

#include "engine/DownloadTask.h"
#include "resources/resource.h"
#include "winui/MenuResource.h"

std::vector<UINT> CTaskMenu::GrayedCommands(int state) {
  std::vector<UINT> grayed;
  auto gray = [&grayed](UINT id) {
    if (std::find(grayed.begin(), grayed.end(), id) == grayed.end()) grayed.push_back(id);
  };
  // Only a task that runs can be paused or stopped.
  if (state != TS_DOWNLOADED && state != TS_READY) {
    gray(ID_TASK_PAUSE);
    gray(ID_TASK_STOP);
  }
  // Nothing to resume while it runs or once it is done.
  if (state == TS_READY || state == TS_DOWNLOADED || state == TS_COMPLETED) gray(ID_TASK_RESUME);
  return grayed;
}

bool CTaskMenu::Allows(int state, UINT id) {
  std::vector<UINT> grayed = GrayedCommands(state);
  return std::find(grayed.begin(), grayed.end(), id) == grayed.end();
}

std::vector<UINT> CTaskMenu::GrayedCommands(const std::vector<int>& states) {
  if (states.empty()) return {};
  std::vector<UINT> grayed;
  for (UINT id : GrayedCommands(states.front())) {
    bool allowed =
        std::any_of(states.begin(), states.end(), [id](int state) { return Allows(state, id); });
    if (!allowed) grayed.push_back(id);
  }
  return grayed;
}

void CTaskMenu::ApplyState(HMENU menu, const std::vector<int>& states) {
  for (UINT id : GrayedCommands(states)) EnableMenuItem(menu, id, MF_BYCOMMAND | MF_GRAYED);
}

UINT CTaskMenu::Show(HWND owner, POINT screen, const std::vector<int>& states) {
  winui::MenuResource menu(IDR_TASK_MENU);
  if (!menu) return 0;
  ApplyState(menu.Popup(), states);
  // The choice comes back here, not as a later message: the caller acts on the tasks it
  // showed the menu for.
  return static_cast<UINT>(
      TrackPopupMenu(menu.Popup(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON | TPM_RETURNCMD,
                     screen.x, screen.y, 0, owner, nullptr));
}
