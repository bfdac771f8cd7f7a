// The task menu as loaded from the program's resources: its items in order, and which
// of them each task state leaves available.
#include "ui/TaskMenu.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/DownloadTask.h"
#include "resources/resource.h"
#include "winui/MenuResource.h"
#include "base/Utf8.h"

namespace {

struct Item {
  const char* text;
  UINT id;
};
const Item kItems[] = {{"Resume", ID_TASK_RESUME},
                       {"Pause", ID_TASK_PAUSE},
                       {"Stop", ID_TASK_STOP},
                       {"", 0},
                       {"Move to top", ID_TASK_MOVE_TOP},
                       {"Move to bottom", ID_TASK_MOVE_BOTTOM},
                       {"", 0},
                       {"Open file", ID_TASK_OPEN_FILE},
                       {"Source folder", ID_TASK_SOURCE_FOLDER},
                       {"Destination folder", ID_TASK_DEST_FOLDER},
                       {"", 0},
                       {"Delete", ID_TASK_DELETE},
                       {"Remove from list", ID_TASK_REMOVE}};

TEST(TaskMenu, HasTheTaskCommandsInOrder) {
  winui::MenuResource menu(IDR_TASK_MENU);
  ASSERT_TRUE(menu);
  base::UniqueMenu bar(LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TASK_MENU)));
  wchar_t title[64]{};
  GetMenuStringW(bar.Get(), 0, title, 64, MF_BYPOSITION);
  EXPECT_EQ(base::Narrow(title), "menu for Task");
  ASSERT_EQ(GetMenuItemCount(menu.Popup()), 13);
  for (int i = 0; i < 13; ++i) {
    SCOPED_TRACE(i);
    wchar_t text[64]{};
    GetMenuStringW(menu.Popup(), i, text, 64, MF_BYPOSITION);
    EXPECT_EQ(base::Narrow(text), kItems[i].text);
    if (kItems[i].id)
      EXPECT_EQ(GetMenuItemID(menu.Popup(), i), kItems[i].id);
    else
      EXPECT_TRUE(GetMenuState(menu.Popup(), i, MF_BYPOSITION) & MF_SEPARATOR);
  }
}

TEST(TaskMenu, EachStateLeavesItsCommandsAvailable) {
  // Resume, Pause, Stop, Open file; the two folders, Delete and the moves are always
  // available.
  const bool available[6][4] = {
      {true, false, false, true},   // nothing
      {false, true, true, true},    // ready
      {false, true, true, true},    // downloaded
      {false, false, false, true},  // completed: the whole file is there to open
      {true, false, false, true},   // write error
      {true, false, false, true},   // deleted
  };
  const UINT ids[] = {ID_TASK_RESUME, ID_TASK_PAUSE, ID_TASK_STOP, ID_TASK_OPEN_FILE};
  for (int state = TS_NOTHING; state <= TS_DELETED; ++state) {
    SCOPED_TRACE(state);
    winui::MenuResource menu(IDR_TASK_MENU);
    CTaskMenu::ApplyState(menu.Popup(), {state});
    for (int i = 0; i < 4; ++i) {
      bool grayed = GetMenuState(menu.Popup(), ids[i], MF_BYCOMMAND) & MF_GRAYED;
      EXPECT_EQ(!grayed, available[state][i]) << ids[i];
    }
    for (UINT id : {ID_TASK_SOURCE_FOLDER, ID_TASK_DEST_FOLDER, ID_TASK_DELETE, ID_TASK_REMOVE,
                    ID_TASK_MOVE_TOP, ID_TASK_MOVE_BOTTOM})
      EXPECT_FALSE(GetMenuState(menu.Popup(), id, MF_BYCOMMAND) & MF_GRAYED) << id;
  }
}

TEST(TaskMenu, SeveralTasksLeaveAvailableWhatAnyOfThemAllows) {
  auto grayed = [](std::vector<int> states) {
    std::vector<UINT> ids = CTaskMenu::GrayedCommands(states);
    std::sort(ids.begin(), ids.end());
    return ids;
  };
  // A running and a stopped task: each command is allowed for one of them.
  EXPECT_TRUE(grayed({TS_READY, TS_WRITE_ERROR}).empty());
  // Completed and running: nothing to resume.
  EXPECT_EQ(grayed({TS_COMPLETED, TS_DOWNLOADED}), (std::vector<UINT>{ID_TASK_RESUME}));
  // Two completed tasks are grayed as one.
  EXPECT_EQ(grayed({TS_COMPLETED, TS_COMPLETED}), grayed({TS_COMPLETED}));
  EXPECT_EQ(grayed({TS_COMPLETED}),
            (std::vector<UINT>{ID_TASK_RESUME, ID_TASK_PAUSE, ID_TASK_STOP}));
}

}  // namespace
