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
  if (state == TS_COMPLETED) gray(ID_TASK_OPEN_FILE);
  return grayed;
}

void CTaskMenu::ApplyState(HMENU menu, int state) {
  for (UINT id : GrayedCommands(state)) EnableMenuItem(menu, id, MF_BYCOMMAND | MF_GRAYED);
}

bool CTaskMenu::Show(HWND owner, POINT screen, int state) {
  winui::MenuResource menu(IDR_TASK_MENU);
  if (!menu) return false;
  ApplyState(menu.Popup(), state);
  TrackPopupMenu(menu.Popup(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, screen.x, screen.y,
                 0, owner, nullptr);
  return true;
}
