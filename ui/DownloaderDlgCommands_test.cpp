// The main window's commands used as a user uses them: right clicks on rows and the
// pop-up menu's items, the toolbar's buttons, the file dialog, the folder browser and
// the options dialog answered on the screen, and the toolbar's tooltips.
#include "ui/MainWindowDriver_test.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <ostream>

#include "engine/DownloadTask.h"
#include "engine/testing/EngineTesting.h"
#include "tests/WindowAnswer.h"
#include "resources/resource.h"
#include "ui/FileDialogAnswer_test.h"
#include "ui/FolderPicker.h"
#include "ui/SettingsRegistry.h"
#include "base/ErrorText.h"
#include "base/Utf8.h"

namespace {

using namespace std::chrono_literals;
using tolvatest::BrowserShows;
using tolvatest::FileExists;
using tolvatest::FirstWindow;
using tolvatest::IsFolderBrowser;
using tolvatest::kMenuClass;
using tolvatest::PumpUntil;
using tolvatest::TempFolder;
using windowtest::RunningWindow;
using windowtest::WindowTest;
using Paths = std::vector<std::string>;

// The file's size, or -1 when it is not there.
long long ReadSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(base::Widen(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Menu positions of the task menu's items.
enum MenuPosition {
  kResume = 0,
  kPause = 1,
  kStop = 2,
  kMoveToTop = 4,
  kMoveToBottom = 5,
  kOpenFile = 7,
  kSourceFolder = 8,
  kDestFolder = 9,
  kDelete = 11
};

bool SamePath(const std::string& a, const std::string& b) {
  return _wcsicmp(base::Widen(a).c_str(), base::Widen(b).c_str()) == 0;
}

class Commands : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    CDownloaderDlg::s_lastIntoFolder.clear();
  }

  // Moves the mouse over `row` (in `column`) and clicks the right button there.
  static void RightClick(RunningWindow& w, int row, int column = 0) {
    RECT cell = w.dlg.List().SubItemRect(row, column);
    POINT at{(cell.left + cell.right) / 2, (cell.top + cell.bottom) / 2};
    RightClickAt(w, at);
  }
  static void RightClickAt(RunningWindow& w, POINT client) {
    HWND list = w.dlg.List().Hwnd();
    POINT screen = client;
    ClientToScreen(list, &screen);
    SetCursorPos(screen.x, screen.y);
    // The window's thread may see the move a little later than this one.
    PumpUntil([&] {
      POINT seen{};
      w.OnUi([&] { GetCursorPos(&seen); });
      return seen.x == screen.x && seen.y == screen.y;
    });
    PostMessageW(list, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(client.x, client.y));
    PostMessageW(list, WM_RBUTTONUP, 0, MAKELPARAM(client.x, client.y));
  }

  // The pop-up menu once it shows; null when none comes.
  static HWND WaitForMenu(RunningWindow& w) {
    HWND menu = nullptr;
    PumpUntil([&] { return (menu = w.FindWindowOfClass(kMenuClass)) != nullptr; }, 10s);
    return menu;
  }
  static HMENU MenuOf(HWND menuWindow) {
    return reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
  }
  // Whether each item at the given positions can be chosen.
  static std::vector<bool> Available(HMENU menu, std::initializer_list<int> positions) {
    std::vector<bool> result;
    for (int p : positions) result.push_back(!(GetMenuState(menu, p, MF_BYPOSITION) & MF_GRAYED));
    return result;
  }
  static bool CloseMenu(RunningWindow& w, HWND menuWindow) {
    PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
    return PumpUntil([&] { return !w.FindWindowOfClass(kMenuClass); }, 10s);
  }
  // Right click on `row`, then the command of the item at `position`, which must be
  // available. The pop-up is closed with Escape and the item's command sent as the
  // menu sends it: picking items by mouse or keys races with the pointer's own moves
  // on a virtual display. The command has run when this returns.
  static bool RunFromMenu(RunningWindow& w, int row, int position) {
    RightClick(w, row);
    HWND menuWindow = WaitForMenu(w);
    if (!menuWindow) return false;
    HMENU menu = MenuOf(menuWindow);
    bool available = !(GetMenuState(menu, position, MF_BYPOSITION) & MF_GRAYED);
    UINT id = GetMenuItemID(menu, position);
    if (!CloseMenu(w, menuWindow) || !available) return false;
    SendMessageW(w.Hwnd(), WM_COMMAND, MAKEWPARAM(id, 0), 0);
    return true;
  }

  // Presses a toolbar button with the mouse.
  static void ClickButton(RunningWindow& w, int command) {
    HWND bar = w.dlg.ToolBarHwnd();
    RECT r{};
    SendMessageW(bar, TB_GETRECT, command, reinterpret_cast<LPARAM>(&r));
    LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    PostMessageW(bar, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(bar, WM_LBUTTONUP, 0, at);
  }

  // Answers the file dialog of the window: the files `names` in `folder`, or a cancel.
  static bool AnswerFileDialog(RunningWindow& w, const std::string& folder,
                               const std::string& names) {
    FileDialogAnswer answer(w.uiThread, folder, names);
    return PumpUntil([&] { return answer.Step(); });
  }

  // Answers the folder browser: selects `pick` (empty: takes what it starts on, once it
  // shows `expectShown`) and presses OK; an empty `pick` and `expectShown` cancels.
  static bool AnswerFolderBrowser(RunningWindow& w, const std::string& pick,
                                  const std::string& expectShown) {
    HWND browser = nullptr;
    if (!PumpUntil([&] { return (browser = FindBrowser(w)) != nullptr; })) return false;
    if (pick.empty() && expectShown.empty()) {
      PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
      return true;
    }
    const std::wstring shown = base::Widen(pick.empty() ? expectShown : pick);
    bool there = PumpUntil([&] { return BrowserShows(browser, shown, !pick.empty()); });
    PostMessageW(browser, WM_COMMAND, there ? IDOK : IDCANCEL, 0);
    return there;
  }
  static HWND FindBrowser(RunningWindow& w) {
    return FirstWindow({.thread = w.uiThread, .also = IsFolderBrowser});
  }
  static Paths Sources(RunningWindow& w) {
    Paths sources;
    w.OnUi([&] {
      for (int i = 0; i < w.dlg.Kernel().GetTaskCount(); ++i)
        sources.push_back(w.dlg.Kernel().GetTask(i)->source);
    });
    return sources;
  }
  static std::string Destination(RunningWindow& w, int i) {
    std::string destination;
    w.OnUi([&] {
      if (CDownloadTask* t = w.dlg.Kernel().GetTask(i)) destination = t->destination;
    });
    return destination;
  }
  static int TaskCount(RunningWindow& w) {
    int n = 0;
    w.OnUi([&] { n = w.dlg.Kernel().GetTaskCount(); });
    return n;
  }
};

// With the kernel held, tasks stay in whatever state they are put in.
TEST_F(Commands, TheMenuOffersWhatTheTaskStateAllows) {
  std::string out = temp.Folder("out");
  Paths sources;
  for (int i = 0; i < 6; ++i) sources.push_back(temp.Write("s" + std::to_string(i) + ".bin", 100));
  RunningWindow w(temp, {}, "", false, true);
  ASSERT_TRUE(w.WaitInitialised());
  w.OnUi([&] {
    w.dlg.QueueFiles(sources, out);
    for (int s = TS_NOTHING; s <= TS_DELETED; ++s) w.dlg.Kernel().GetTask(s)->SetState(s);
  });
  ASSERT_EQ(w.Rows(), 6);

  // Resume, Pause, Stop, Open file, Source folder, Destination folder, Delete.
  const std::vector<bool> expected[6] = {
      {true, false, false, true, true, true, true},   // nothing
      {false, true, true, true, true, true, true},    // ready
      {false, true, true, true, true, true, true},    // downloaded
      {false, false, false, true, true, true, true},  // completed
      {true, false, false, true, true, true, true},   // write error
      {true, false, false, true, true, true, true},   // deleted
  };
  for (int row = 0; row < 6; ++row) {
    SCOPED_TRACE(row);
    RightClick(w, row, row % 3);  // anywhere in the row
    HWND menu = WaitForMenu(w);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(Available(MenuOf(menu),
                        {kResume, kPause, kStop, kOpenFile, kSourceFolder, kDestFolder, kDelete}),
              expected[row]);
    EXPECT_EQ(w.dlg.List().FirstSelected(), row);
    // The menu opens where the mouse is.
    RECT r;
    GetWindowRect(menu, &r);
    POINT cursor;
    GetCursorPos(&cursor);
    EXPECT_EQ(r.left, cursor.x);
    EXPECT_EQ(r.top, cursor.y);
    ASSERT_TRUE(CloseMenu(w, menu));
  }
  ASSERT_EQ(w.dlg.menusShown, 6);

  // Below the last row there is no menu: the next one shown is for the next click.
  RECT last = w.dlg.List().ItemRect(5);
  RightClickAt(w, POINT{20, last.bottom + 30});
  RightClick(w, 1);
  HWND menu = WaitForMenu(w);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(w.dlg.menusShown, 7);
  EXPECT_EQ(Available(MenuOf(menu), {kResume, kPause}), (std::vector<bool>{false, true}));
  ASSERT_TRUE(CloseMenu(w, menu));

  // The keyboard's menu key opens it for the selected row.
  PostMessageW(w.dlg.List().Hwnd(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(w.dlg.List().Hwnd()),
               -1);
  menu = WaitForMenu(w);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(Available(MenuOf(menu), {kResume, kPause}), (std::vector<bool>{false, true}));
  ASSERT_TRUE(CloseMenu(w, menu));
  ASSERT_TRUE(w.Close());
}

TEST_F(Commands, TaskCommandsActOnTheKernelAndTheRows) {
  std::string out = temp.Folder("out");
  Paths sources{temp.Write("a.bin", 1000), temp.Write("b.bin", 1000), temp.Write("c.bin", 1000)};
  RunningWindow w(temp, {}, "", false, true);
  ASSERT_TRUE(w.WaitInitialised());
  w.OnUi([&] { w.dlg.QueueFiles(sources, out); });
  ASSERT_EQ(w.RowTexts(), (Paths{"a", "b", "c"}));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(PumpUntil([&] { return w.State(i) == TS_READY; }));

  ASSERT_TRUE(RunFromMenu(w, 1, kPause));
  EXPECT_EQ(w.State(1), TS_NOTHING);
  ASSERT_TRUE(RunFromMenu(w, 2, kStop));
  EXPECT_EQ(w.State(2), TS_WRITE_ERROR);
  EXPECT_EQ(w.RowTexts(), (Paths{"a", "b", "c"}));
  // Closed tasks let go of their files (on a pool thread, at once).
  EXPECT_TRUE(
      PumpUntil([&] { return DeleteFileW(base::Widen(out + "\\c.bin").c_str()) != FALSE; }));

  // Resume opens the files on a pool thread: the command itself returns at once.
  ASSERT_TRUE(RunFromMenu(w, 2, kResume));
  EXPECT_TRUE(PumpUntil([&] { return w.State(2) == TS_READY; }));
  EXPECT_TRUE(FileExists(out + "\\c.bin"));
  ASSERT_TRUE(RunFromMenu(w, 1, kResume));
  EXPECT_TRUE(PumpUntil([&] { return w.State(1) == TS_READY; }));

  // Delete: no question; its copy goes, and every later row moves up with its task.
  ASSERT_TRUE(RunFromMenu(w, 0, kDelete));
  EXPECT_EQ(w.RowTexts(), (Paths{"b", "c"}));
  EXPECT_EQ(Sources(w), (Paths{sources[1], sources[2]}));
  EXPECT_TRUE(PumpUntil([&] { return !FileExists(out + "\\a.bin"); }));
  EXPECT_TRUE(FileExists(out + "\\b.bin"));
  EXPECT_TRUE(FileExists(sources[0]));

  // The shell is asked to open the copy, the source's folder, the copy's folder.
  ASSERT_TRUE(RunFromMenu(w, 1, kOpenFile));
  ASSERT_TRUE(RunFromMenu(w, 1, kSourceFolder));
  ASSERT_TRUE(RunFromMenu(w, 0, kDestFolder));
  Paths opened;
  w.OnUi([&] { opened = w.dlg.opened; });
  EXPECT_EQ(opened, (Paths{out + "\\c.bin", temp.Path(), out}));
  EXPECT_EQ(w.dlg.List().FirstSelected(), 0);
  ASSERT_TRUE(w.Close());
}

TEST_F(Commands, TaskCommandsWithNoRowSelectedDoNothing) {
  std::string out = temp.Folder("out");
  RunningWindow w(temp, {}, "", false, true);
  ASSERT_TRUE(w.WaitInitialised());
  w.OnUi([&] { w.dlg.QueueFiles({temp.Write("a.bin", 10)}, out); });
  ASSERT_EQ(w.dlg.List().FirstSelected(), -1);
  for (UINT id : {ID_TASK_PAUSE, ID_TASK_STOP, ID_TASK_DELETE, ID_TASK_OPEN_FILE})
    SendMessageW(w.Hwnd(), WM_COMMAND, id, 0);
  EXPECT_EQ(w.State(0), TS_READY);
  EXPECT_EQ(w.Rows(), 1);
  EXPECT_TRUE(w.dlg.opened.empty());
  ASSERT_TRUE(w.Close());
}

// Rows `rows` become the selection, as the user's clicks with Ctrl would leave it.
void SelectRows(RunningWindow& w, std::initializer_list<int> rows) {
  w.OnUi([&] {
    LVITEMW none{};
    none.stateMask = LVIS_SELECTED;
    SendMessageW(w.dlg.List().Hwnd(), LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(&none));
    for (int row : rows) w.dlg.List().Select(row);
  });
}

TEST_F(Commands, SeveralSelectedTasksAreActedOnTogether) {
  std::string out = temp.Folder("out");
  Paths sources;
  for (const char* n : {"a", "b", "c", "d", "e"})
    sources.push_back(temp.Write(std::string(n) + ".bin", 1000));
  RunningWindow w(temp, {}, "", false, true);
  ASSERT_TRUE(w.WaitInitialised());
  w.OnUi([&] { w.dlg.QueueFiles(sources, out); });
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(PumpUntil([&] { return w.State(i) == TS_READY; }));

  // Stop on rows 0 and 2 stops both and leaves row 1 running.
  SelectRows(w, {0, 2});
  SendMessageW(w.Hwnd(), WM_COMMAND, ID_TASK_STOP, 0);
  EXPECT_EQ(w.State(0), TS_WRITE_ERROR);
  EXPECT_EQ(w.State(1), TS_READY);
  EXPECT_EQ(w.State(2), TS_WRITE_ERROR);

  // A right click inside the selection keeps it; the menu offers what any task allows.
  SelectRows(w, {1, 2});
  RightClick(w, 2);
  HWND menu = WaitForMenu(w);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(Available(MenuOf(menu), {kResume, kPause, kStop}),
            (std::vector<bool>{true, true, true}));
  ASSERT_TRUE(CloseMenu(w, menu));
  int selected = 0;
  w.OnUi([&] { selected = static_cast<int>(w.dlg.SelectedTasks().size()); });
  EXPECT_EQ(selected, 2);
  // Resume acts only on the stopped one; the running one goes on as it was.
  SendMessageW(w.Hwnd(), WM_COMMAND, ID_TASK_RESUME, 0);
  EXPECT_TRUE(PumpUntil([&] { return w.State(2) == TS_READY; }));
  EXPECT_EQ(w.State(1), TS_READY);

  // The Delete key on two rows asks once, naming two; a No keeps everything.
  SelectRows(w, {0, 3});
  w.dlg.deleteAnswer = false;
  PostMessageW(w.dlg.List().Hwnd(), WM_KEYDOWN, VK_DELETE, 0);
  ASSERT_TRUE(w.Flush());
  EXPECT_EQ(w.Rows(), 5);
  w.dlg.deleteAnswer = true;
  PostMessageW(w.dlg.List().Hwnd(), WM_KEYDOWN, VK_DELETE, 0);
  ASSERT_TRUE(w.Flush());
  EXPECT_EQ(w.dlg.deleteQuestions, (std::vector<size_t>{2, 2}));
  EXPECT_EQ(w.RowTexts(), (Paths{"b", "c", "e"}));
  EXPECT_TRUE(
      PumpUntil([&] { return !FileExists(out + "\\a.bin") && !FileExists(out + "\\d.bin"); }));

  // Remove from list: the tasks go, their copies stay, nothing is asked.
  SelectRows(w, {0, 2});
  SendMessageW(w.Hwnd(), WM_COMMAND, ID_TASK_REMOVE, 0);
  EXPECT_EQ(w.RowTexts(), (Paths{"c"}));
  EXPECT_EQ(Sources(w), (Paths{sources[2]}));
  EXPECT_EQ(w.dlg.deleteQuestions.size(), 2u);
  ASSERT_TRUE(w.Flush());
  EXPECT_TRUE(FileExists(out + "\\b.bin"));
  EXPECT_TRUE(FileExists(out + "\\e.bin"));

  // Ctrl+A selects every row.
  w.OnUi([&] { w.dlg.QueueFiles({sources[0], sources[1]}, out); });
  SelectRows(w, {0});
  auto control = [&](bool down) {
    w.OnUi([&] {
      BYTE keys[256];
      GetKeyboardState(keys);
      keys[VK_CONTROL] = down ? 0x80 : 0;
      SetKeyboardState(keys);
    });
  };
  control(true);
  PostMessageW(w.dlg.List().Hwnd(), WM_KEYDOWN, 'A', 0);
  ASSERT_TRUE(w.Flush());
  control(false);
  w.OnUi([&] { selected = static_cast<int>(w.dlg.SelectedTasks().size()); });
  EXPECT_EQ(selected, 3);
  SelectRows(w, {1, 2});
  SendMessageW(w.Hwnd(), WM_COMMAND, ID_TASK_REMOVE, 0);

  // Delete of one task asks nothing; a double click on a row opens its file.
  SelectRows(w, {0});
  RECT r = w.dlg.List().ItemRect(0);
  LPARAM at = MAKELPARAM(r.left + 5, (r.top + r.bottom) / 2);
  PostMessageW(w.dlg.List().Hwnd(), WM_LBUTTONDBLCLK, MK_LBUTTON, at);
  ASSERT_TRUE(w.Flush());
  Paths opened;
  w.OnUi([&] { opened = w.dlg.opened; });
  EXPECT_EQ(opened, (Paths{out + "\\c.bin"}));
  PostMessageW(w.dlg.List().Hwnd(), WM_KEYDOWN, VK_DELETE, 0);
  ASSERT_TRUE(w.Flush());
  EXPECT_EQ(w.Rows(), 0);
  EXPECT_EQ(w.dlg.deleteQuestions.size(), 2u);
  ASSERT_TRUE(w.Close());
}

// Moves from the menu and the keys, with one file copying at a time: row i still shows
// task i, the selection stays on the moved tasks, and the list file keeps the order.
TEST_F(Commands, MovesReorderTheQueueAndTheSelectionFollows) {
  std::string out = temp.Folder("out");
  Paths sources;
  for (const char* n : {"a", "b", "c", "d", "e"})
    sources.push_back(temp.Write(std::string(n) + ".bin", 1000));
  ASSERT_TRUE(theRegistry.WriteString("Tolva", "FilesAtOnce", "1"));
  ASSERT_TRUE(theRegistry.WriteString("Tolva", "SpeedLimit", "8"));
  RunningWindow w(temp, {}, "", false, true);
  ASSERT_TRUE(w.WaitInitialised());
  w.OnUi([&] { w.dlg.QueueFiles(sources, out); });
  ASSERT_TRUE(PumpUntil([&] { return w.State(0) == TS_READY; }));
  auto rowTip = [&](int row) {
    std::string tip;
    w.OnUi([&] { tip = w.dlg.RowTip(row); });
    return tip;
  };
  EXPECT_EQ(rowTip(0), "");
  EXPECT_EQ(rowTip(4), "Waiting for its turn");
  std::string trayTip;
  w.OnUi([&] { trayTip = w.dlg.BuildTrayTip(); });
  EXPECT_NE(trayTip.find("\nSpeed limited to 8 Mbps\n"), std::string::npos) << trayTip;

  auto selected = [&] {
    std::vector<int> rows;
    w.OnUi([&] { rows = w.dlg.SelectedTasks(); });
    return rows;
  };
  auto filed = [&] {
    Paths names;
    for (const TaskListEntry& entry : enginetest::LoadListFile(temp.File("tolva.info")))
      names.push_back(entry.name);
    return names;
  };
  auto controlKey = [&](WPARAM key) {
    w.OnUi([&] {
      BYTE keys[256];
      GetKeyboardState(keys);
      keys[VK_CONTROL] = 0x80;
      SetKeyboardState(keys);
    });
    PostMessageW(w.dlg.List().Hwnd(), WM_KEYDOWN, key, 0);
    EXPECT_TRUE(w.Flush());
    w.OnUi([&] {
      BYTE keys[256];
      GetKeyboardState(keys);
      keys[VK_CONTROL] = 0;
      SetKeyboardState(keys);
    });
  };
  struct Step {
    std::function<void()> act;
    Paths rows;
    std::vector<int> selected;
  } steps[] = {
      {[&] { ASSERT_TRUE(RunFromMenu(w, 3, kMoveToTop)); }, {"b", "d", "a", "c", "e"}, {0, 1}},
      {[&] { controlKey(VK_UP); }, {"b", "d", "a", "c", "e"}, {0, 1}},  // at the top already
      {[&] { controlKey(VK_DOWN); }, {"a", "b", "d", "c", "e"}, {1, 2}},
      {[&] { ASSERT_TRUE(RunFromMenu(w, 1, kMoveToBottom)); }, {"a", "c", "e", "b", "d"}, {3, 4}},
      {[&] { SelectRows(w, {4}); }, {"a", "c", "e", "b", "d"}, {4}},
      {[&] { controlKey(VK_UP); }, {"a", "c", "e", "d", "b"}, {3}},
  };
  SelectRows(w, {1, 3});
  for (const Step& step : steps) {
    step.act();
    EXPECT_EQ(w.RowTexts(), step.rows);
    EXPECT_EQ(Sources(w).front(), sources[static_cast<size_t>(step.rows[0][0] - 'a')]);
    EXPECT_EQ(selected(), step.selected);
    EXPECT_EQ(filed(), step.rows);
    EXPECT_LE(windowtest::WorstAnswerMs(w.Hwnd(), 60), windowtest::kAnswerMs);
  }
  // The task that moved keeps its own tip: the copying one none, the others their wait.
  EXPECT_EQ(rowTip(0), "");
  EXPECT_EQ(rowTip(1), "Waiting for its turn");
  ASSERT_TRUE(w.Close());
}

// The user's own gone.bin is in the folder and a task for a gone.bin whose source is
// missing waits: Delete removes the task and leaves the user's file; a question for
// several tasks counts only the files that go.
TEST_F(Commands, DeleteLeavesAFileTheTaskDidNotMake) {
  std::string out = temp.Folder("out");
  const std::string users = "the user's own bytes";
  ASSERT_TRUE(tolvatest::WriteBytes(out + "\\gone.bin", users));
  ASSERT_TRUE(tolvatest::WriteBytes(out + "\\kept.bin", users));
  RunningWindow w(temp, {}, "", false, true);
  ASSERT_TRUE(w.WaitInitialised());
  const std::string missing = temp.Path() + "\\nowhere";
  w.OnUi([&] {
    w.dlg.QueueFiles({missing + "\\gone.bin", temp.Write("made.bin", 1000), missing + "\\kept.bin"},
                     out);
  });
  ASSERT_TRUE(PumpUntil([&] { return w.State(1) == TS_READY; }));

  SelectRows(w, {0});
  PostMessageW(w.dlg.List().Hwnd(), WM_KEYDOWN, VK_DELETE, 0);
  ASSERT_TRUE(w.Flush());
  EXPECT_EQ(w.RowTexts(), (Paths{"made", "kept"}));
  SelectRows(w, {0, 1});
  PostMessageW(w.dlg.List().Hwnd(), WM_KEYDOWN, VK_DELETE, 0);
  ASSERT_TRUE(w.Flush());
  EXPECT_EQ(w.dlg.deleteQuestions, (std::vector<size_t>{2}));
  EXPECT_EQ(w.dlg.deletedFilesAsked, (std::vector<size_t>{1}));
  EXPECT_EQ(w.Rows(), 0);
  EXPECT_TRUE(PumpUntil([&] { return !FileExists(out + "\\made.bin"); }));
  EXPECT_EQ(tolvatest::ReadBytes(out + "\\gone.bin"), users);
  EXPECT_EQ(tolvatest::ReadBytes(out + "\\kept.bin"), users);
  ASSERT_TRUE(w.Close());
}

// What the list asks for when the mouse rests on a row.
std::string HoverTip(RunningWindow& w, int row) {
  wchar_t text[128] = L"x";
  NMLVGETINFOTIPW info{};
  info.hdr.hwndFrom = w.dlg.List().Hwnd();
  info.hdr.idFrom = IDC_TASK_LIST;
  info.hdr.code = LVN_GETINFOTIPW;
  info.pszText = text;
  info.cchTextMax = 128;
  info.iItem = row;
  SendMessageW(w.Hwnd(), WM_NOTIFY, IDC_TASK_LIST, reinterpret_cast<LPARAM>(&info));
  return base::Narrow(text);
}

TEST_F(Commands, HoveringAWaitingTaskTellsWhy) {
  std::string out = temp.Folder("out");
  Paths sources{temp.Write("a.bin", 1000), temp.Path() + "\\missing.bin"};
  RunningWindow w(temp, {}, "", false, true);
  ASSERT_TRUE(w.WaitInitialised());
  w.OnUi([&] { w.dlg.QueueFiles(sources, out); });
  ASSERT_TRUE(PumpUntil([&] { return w.State(0) == TS_READY; }));
  auto tip = [&](int row) { return HoverTip(w, row); };
  EXPECT_EQ(tip(0), "");  // copying: nothing to explain
  EXPECT_TRUE(PumpUntil([&] { return tip(1) == base::ErrorText(ERROR_FILE_NOT_FOUND); })) << tip(1);
  ASSERT_TRUE(RunFromMenu(w, 0, kStop));
  EXPECT_EQ(tip(0), "Stopped");
  ASSERT_TRUE(w.Close());
}

// With "Verify each copy" on, a copy read back and found equal says so when hovered; a
// copy made with it off says nothing.
TEST_F(Commands, HoveringAVerifiedCopySaysSo) {
  ASSERT_TRUE(theRegistry.WriteInteger("Tolva", "OptionsFlag", OPTIONS_DEFAULT | OPT_VERIFY));
  std::string out = temp.Folder("out");
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  w.OnUi([&] { w.dlg.QueueFiles({temp.Write("a.bin", 300000)}, out); });
  ASSERT_TRUE(PumpUntil([&] { return w.State(0) == TS_COMPLETED; }));
  EXPECT_TRUE(PumpUntil([&] { return HoverTip(w, 0) == "Verified"; })) << HoverTip(w, 0);
  ASSERT_TRUE(theRegistry.WriteInteger("Tolva", "OptionsFlag", OPTIONS_DEFAULT));
  w.OnUi([&] { w.dlg.ApplyViewOptions(); });
  w.OnUi([&] { w.dlg.QueueFiles({temp.Write("b.bin", 300000)}, out); });
  ASSERT_TRUE(PumpUntil([&] { return w.State(1) == TS_COMPLETED; }));
  EXPECT_EQ(HoverTip(w, 1), "");
  ASSERT_TRUE(w.Close());
}

TEST_F(Commands, ABalloonTellsWhenEveryDownloadHasCompleted) {
  std::string out = temp.Folder("out");
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  // Out of sight, the user learns of it from the tray. (Files that come bring the
  // window up; it goes down again before their notices are taken.)
  auto queueHidden = [&](const Paths& files) {
    w.OnUi([&] {
      w.dlg.QueueFiles(files, out);
      ShowWindow(w.Hwnd(), SW_MINIMIZE);
    });
  };
  queueHidden({temp.Write("a.bin", 300000), temp.Write("b.bin", 10)});
  auto balloons = [&] {
    std::vector<std::string> shown;
    w.OnUi([&] { shown = w.dlg.balloons; });
    return shown;
  };
  ASSERT_TRUE(PumpUntil([&] { return w.State(0) == TS_COMPLETED && w.State(1) == TS_COMPLETED; }));
  ASSERT_TRUE(PumpUntil([&] { return !balloons().empty(); }));
  ASSERT_TRUE(w.Flush());
  EXPECT_EQ(balloons(), (Paths{"Downloads complete: 2 files downloaded"}));  // once
  // The next batch has its own.
  queueHidden({temp.Write("c.bin", 10)});
  ASSERT_TRUE(PumpUntil([&] { return balloons().size() == 2; }));
  EXPECT_EQ(balloons().back(), "Downloads complete: 3 files downloaded");
  // With the window in front the user sees it for himself.
  w.OnUi([&] {
    w.dlg.QueueFiles({temp.Write("d.bin", 10)}, out);
    ShowWindow(w.Hwnd(), SW_RESTORE);
    SetForegroundWindow(w.Hwnd());
  });
  bool inFront = false;
  w.OnUi([&] { inFront = GetForegroundWindow() == w.Hwnd(); });
  if (inFront) {
    ASSERT_TRUE(PumpUntil([&] { return w.State(3) == TS_COMPLETED; }));
    ASSERT_TRUE(w.Flush());
    EXPECT_EQ(balloons().size(), 2u);
  }
  ASSERT_TRUE(w.Close());
}

TEST_F(Commands, AddFilesCopiesTheChosenFilesInTheirOrderToTheDefaultFolder) {
  std::string out = temp.Folder("out");
  std::string src = temp.Folder("src");
  temp.Write("src\\a.txt", 70000);
  temp.Write("src\\b.txt", 300000);
  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", out);
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());

  ClickButton(w, ID_ADD_FILES);
  FileDialogAnswer answer(w.uiThread, src, "\"b.txt\" \"a.txt\"");
  ASSERT_TRUE(PumpUntil([&] { return answer.Step(); }));
  EXPECT_EQ(answer.initialName, "");
  EXPECT_TRUE(answer.readOnlyHidden);
  EXPECT_EQ(answer.filterText, "All files (*.*)");
  ASSERT_TRUE(PumpUntil([&] { return w.State(0) == TS_COMPLETED && w.State(1) == TS_COMPLETED; }));
  EXPECT_EQ(Sources(w), (Paths{src + "\\b.txt", src + "\\a.txt"}));
  EXPECT_EQ(Destination(w, 0), out + "\\b.txt");
  EXPECT_EQ(w.RowTexts(), (Paths{"b", "a"}));
  EXPECT_EQ(ReadSize(out + "\\b.txt"), 300000);

  // A cancelled dialog adds nothing.
  ClickButton(w, ID_ADD_FILES);
  ASSERT_TRUE(AnswerFileDialog(w, src, ""));
  ASSERT_TRUE(PumpUntil([&] { return !FileDialogAnswer::FindOpenDialog(w.uiThread); }));
  EXPECT_EQ(TaskCount(w), 2);
  ASSERT_TRUE(w.Close());
}

TEST_F(Commands, DownloadIntoStartsTheBrowserAtTheFolderChosenLast) {
  std::string src = temp.Folder("src");
  std::string into = temp.Folder("into");
  temp.Write("src\\a.txt", 1000);
  temp.Write("src\\b.txt", 2000);
  temp.Write("src\\c.txt", 3000);
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());

  // Each turn: a file, then the browser answered by picking `pick`, or (empty) by OK on
  // what it opens on, which must be `shown`, or (both empty) by Cancel.
  struct Turn {
    const char* file;
    std::string pick, shown;
  };
  const Turn turns[] = {
      {"a.txt", into, ""},
      {"b.txt", "", into},  // the second browser opens on that folder; OK takes it
      {"c.txt", "", ""},    // a cancelled browser adds nothing and forgets nothing
  };
  int tasks = 0;
  for (const Turn& t : turns) {
    SCOPED_TRACE(t.file);
    ClickButton(w, ID_DOWNLOAD_INTO);
    ASSERT_TRUE(AnswerFileDialog(w, src, t.file));
    ASSERT_TRUE(AnswerFolderBrowser(w, t.pick, t.shown));
    if (t.pick.empty() && t.shown.empty()) {
      ASSERT_TRUE(PumpUntil([&] { return !FindBrowser(w); }));
      EXPECT_EQ(TaskCount(w), tasks);
      EXPECT_FALSE(FileExists(into + "\\" + t.file));
    } else {
      ASSERT_TRUE(PumpUntil([&] { return w.State(tasks) == TS_COMPLETED; }));
      EXPECT_TRUE(SamePath(Destination(w, tasks), into + "\\" + t.file));
      ++tasks;
    }
    EXPECT_TRUE(SamePath(CDownloaderDlg::s_lastIntoFolder, into));
  }
  ASSERT_TRUE(w.Close());
}

TEST_F(Commands, AddFolderDownloadsTheChosenFoldersWholeTreeToTheDefaultFolder) {
  std::string out = temp.Folder("out");
  std::string src = temp.Folder("src");
  temp.Folder("src\\tree");
  temp.Folder("src\\tree\\sub");
  temp.Write("src\\tree\\a.txt", 7000);
  temp.Write("src\\tree\\sub\\b.txt", 9000);
  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", out);
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());

  ClickButton(w, ID_ADD_FOLDER);
  HWND browser = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (browser = FindBrowser(w)) != nullptr; }));
  // It says what the chosen folder is for: not a destination, as in "Download into".
  EXPECT_TRUE(
      FindWindowExW(browser, nullptr, L"Static", base::Widen(CFolderPicker::kSourceTitle).c_str()));
  ASSERT_TRUE(AnswerFolderBrowser(w, src + "\\tree", ""));
  ASSERT_TRUE(PumpUntil([&] {
    return TaskCount(w) == 2 && w.State(0) == TS_COMPLETED && w.State(1) == TS_COMPLETED;
  }));
  EXPECT_EQ(ReadSize(out + "\\tree\\a.txt"), 7000);
  EXPECT_EQ(ReadSize(out + "\\tree\\sub\\b.txt"), 9000);
  EXPECT_TRUE(SamePath(CDownloaderDlg::s_lastSourceFolder, src + "\\tree"));

  // A cancelled browser adds nothing.
  ClickButton(w, ID_ADD_FOLDER);
  ASSERT_TRUE(AnswerFolderBrowser(w, "", ""));
  ASSERT_TRUE(PumpUntil([&] { return !FindBrowser(w); }));
  EXPECT_EQ(TaskCount(w), 2);
  ASSERT_TRUE(w.Close());
}

// A folder typed into the options is what the next add uses, without a restart: one set
// where there was none, one cleared where there was one.
struct OptionsFolderCase {
  const char* name;
  bool storedBefore;  // the folder "out" stored at the start, else none
  bool typed;         // "out" typed into the options, else the field emptied
  bool kbps;          // the speed unit switched to Kbps as well
};

void PrintTo(const OptionsFolderCase& c, std::ostream* out) { *out << c.name; }

class OptionsFolder : public Commands, public ::testing::WithParamInterface<OptionsFolderCase> {
 protected:
  // Adds src\`file` from the toolbar: into `folder`, or, with no folder, the message
  // comes, is answered, and no task is added (`tasks` stays the count).
  void AddExpecting(RunningWindow& w, const std::string& file, const std::string& folder,
                    int tasks) {
    ClickButton(w, ID_ADD_FILES);
    ASSERT_TRUE(AnswerFileDialog(w, src, file));
    if (folder.empty()) {
      HWND box = nullptr;
      ASSERT_TRUE(PumpUntil([&] { return (box = w.FindDialog("Tolva")) != nullptr; }));
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      ASSERT_TRUE(PumpUntil([&] { return !IsWindow(box); }));
      EXPECT_EQ(TaskCount(w), tasks);
      EXPECT_FALSE(FileExists(out + "\\" + file));
      return;
    }
    ASSERT_TRUE(PumpUntil([&] { return w.State(tasks) == TS_COMPLETED; }));
    EXPECT_EQ(Destination(w, tasks), folder + "\\" + file);
    EXPECT_TRUE(FileExists(folder + "\\" + file));
    EXPECT_FALSE(w.FindDialog("Tolva"));
  }

  std::string src = temp.Folder("src");
  std::string out = temp.Folder("out");
};

TEST_P(OptionsFolder, IsUsedByTheNextAddWithoutARestart) {
  const OptionsFolderCase& c = GetParam();
  temp.Write("src\\a.txt", 5000);
  temp.Write("src\\b.txt", 5000);
  if (c.storedBefore) theRegistry.WriteString("Tolva", "DefaultDownloadFolder", out);
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  const std::string before = c.storedBefore ? out : "", after = c.typed ? out : "";
  ASSERT_NO_FATAL_FAILURE(AddExpecting(w, "a.txt", before, 0));

  // Options: the folder typed or emptied (and the speed unit switched), Close.
  ClickButton(w, ID_OPTIONS);
  HWND options = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (options = w.FindDialog("Options Dialog")) != nullptr; }));
  SetWindowTextW(GetDlgItem(options, IDC_DEFAULT_FOLDER), base::Widen(after).c_str());
  if (c.kbps) {
    HWND optionList = GetDlgItem(options, IDC_OPTION_LIST);
    LPARAM kbps = MAKELPARAM(2 * 20 + 2 + 5, 2 + 16 * 7 + 8);  // item 7, at level 2
    SendMessageW(optionList, WM_LBUTTONDOWN, MK_LBUTTON, kbps);
    SendMessageW(optionList, WM_LBUTTONUP, 0, kbps);
  }
  PostMessageW(options, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(PumpUntil([&] { return !IsWindow(options); }));
  if (c.kbps) {
    w.OnUi([] {});
    EXPECT_EQ(w.dlg.List().m_strSpeedUnit, "Kbps");
    EXPECT_EQ(w.dlg.Kernel().GetSpeedUnit(), 1);
  }

  ASSERT_NO_FATAL_FAILURE(AddExpecting(w, "b.txt", after, c.storedBefore ? 1 : 0));
  ASSERT_TRUE(w.Close());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, OptionsFolder,
    ::testing::Values(OptionsFolderCase{"SetWhereThereWasNone", false, true, true},
                      OptionsFolderCase{"ClearedWhereThereWasOne", true, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Commands, ToolbarButtonsShowTheirTooltips) {
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  HWND bar = w.dlg.ToolBarHwnd();
  HWND tips = reinterpret_cast<HWND>(SendMessageW(bar, TB_GETTOOLTIPS, 0, 0));
  ASSERT_NE(tips, nullptr);

  // Each button's tooltip, asked of the toolbar's own tooltip control.
  const std::pair<int, const char*> buttons[] = {
      {ID_ADD_FILES, "Download files"},
      {ID_DOWNLOAD_INTO, "Download files into the specified folder"},
      {ID_OPTIONS, "Tune your options"}};
  for (const auto& [command, text] : buttons) {
    wchar_t buffer[80]{};
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = bar;
    tool.uId = static_cast<UINT_PTR>(command);
    tool.lpszText = buffer;
    SendMessageW(tips, TTM_GETTEXTW, 80, reinterpret_cast<LPARAM>(&tool));
    EXPECT_EQ(base::Narrow(buffer), text);
  }

  // A single-byte request, by command and by window; a string with no tooltip part.
  NMTTDISPINFOA request{};
  request.hdr = {tips, ID_OPTIONS, TTN_GETDISPINFOA};
  SendMessageW(w.Hwnd(), WM_NOTIFY, ID_OPTIONS, reinterpret_cast<LPARAM>(&request));
  EXPECT_STREQ(request.lpszText, "Tune your options");
  HWND child = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 1, 1, w.Hwnd(),
                               reinterpret_cast<HMENU>(ID_DOWNLOAD_INTO), nullptr, nullptr);
  NMTTDISPINFOW byWindow{};
  byWindow.hdr = {tips, reinterpret_cast<UINT_PTR>(child), TTN_GETDISPINFOW};
  byWindow.uFlags = TTF_IDISHWND;
  SendMessageW(w.Hwnd(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&byWindow));
  EXPECT_EQ(base::Narrow(byWindow.lpszText), "Download files into the specified folder");
  DestroyWindow(child);
  request = {};
  request.hdr = {tips, IDS_OPT_SAVE_PLACEMENT, TTN_GETDISPINFOA};
  strcpy(request.szText, "stale");
  SendMessageW(w.Hwnd(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&request));
  EXPECT_STREQ(request.lpszText, "");
  ASSERT_TRUE(w.Close());
}

}  // namespace

namespace {

// Holds the window with its task menu open for scripts/screenshot-task-menu; skipped
// unless TOLVA_SCREENSHOT_SECONDS is set.
TEST_F(Commands, HoldsTheTaskMenuOpenForAScreenshot) {
  const char* seconds = std::getenv("TOLVA_SCREENSHOT_SECONDS");
  if (!seconds) GTEST_SKIP() << "set TOLVA_SCREENSHOT_SECONDS to show the menu";
  std::string out = temp.Folder("out");
  Paths sources{temp.Write("report.pdf", 1000), temp.Write("setup.exe", 1000),
                temp.Write("photos.zip", 1000)};
  RunningWindow w(temp, {}, "", false, true);
  ASSERT_TRUE(w.WaitInitialised());
  SetWindowPos(w.Hwnd(), nullptr, 40, 40, 560, 220, SWP_NOZORDER);
  w.OnUi([&] {
    w.dlg.QueueFiles(sources, out);
    w.dlg.Kernel().GetTask(0)->SetState(TS_COMPLETED);
  });
  RightClick(w, 1);
  HWND menu = WaitForMenu(w);
  ASSERT_NE(menu, nullptr);
  SetCursorPos(5, 5);
  PumpUntil([] { return false; }, std::chrono::seconds(atoi(seconds)));
  CloseMenu(w, menu);
  ASSERT_TRUE(w.Close());
}

}  // namespace
