// The main window driven as a user would: it runs modally on its own thread while the
// test reads what is on the screen (title, toolbar, columns, rows, tray tip, message
// boxes) and acts through messages.
#include "ui/DownloaderDlg.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "resources/options_ids.h"
#include "resources/resource.h"
#include "ui/FileDialogAnswer_test.h"
#include "ui/MainWindowDriver_test.h"
#include "ui/SettingsRegistry.h"
#include "winui/MessageWindow.h"
#include "testing/Testing.h"
#include "base/Utf8.h"

namespace {

using namespace std::chrono_literals;
using tolvatest::FileExists;
using tolvatest::FindWindows;
using tolvatest::FirstWindow;
using tolvatest::IsFolderBrowser;
using tolvatest::kMenuClass;
using tolvatest::PumpUntil;
using tolvatest::TempFolder;
using windowtest::RunningWindow;
using windowtest::TestDlg;
using windowtest::WindowTest;

const char kTitle[] = "Tolva - Your Ziravadi Downloader";

std::string WindowText(HWND w) {
  wchar_t text[512]{};
  GetWindowTextW(w, text, 512);
  return base::Narrow(text);
}

long ReadSetting(const char* name, long fallback) {
  theRegistry.ReadInteger("Tolva", name, fallback);
  return fallback;
}

// Minimises as the title bar's button does, until `reached` holds. Wine on a bare X
// display now and then restores a window right after minimising it (X focus events),
// so the request is repeated.
bool Minimise(HWND w, const std::function<bool()>& reached) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    PostMessageW(w, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    if (PumpUntil(reached, 2s)) return true;
  }
  return false;
}

// A window of another program that the user works in, in front of ours.
class OtherWindow {
 public:
  OtherWindow()
      : hwnd_(CreateWindowExW(0, L"STATIC", L"another program", WS_POPUP | WS_CAPTION | WS_VISIBLE,
                              60, 60, 500, 400, nullptr, nullptr, nullptr, nullptr)) {}
  ~OtherWindow() { DestroyWindow(hwnd_); }
  OtherWindow(const OtherWindow&) = delete;
  OtherWindow& operator=(const OtherWindow&) = delete;

  // Takes the foreground and keeps it for a moment: a dialog that has just opened may
  // take it once more (Wine's file dialog does, a little after it shows).
  bool ComeForward() {
    DWORD since = 0;
    return PumpUntil(
        [&] {
          if (GetForegroundWindow() != hwnd_) {
            SetForegroundWindow(hwnd_);
            since = 0;
            return false;
          }
          if (!since) since = GetTickCount();
          return GetTickCount() - since >= 300;
        },
        10s);
  }

 private:
  HWND hwnd_;
};

using MainWindow = WindowTest;

TEST_F(MainWindow, OpensWithTitleToolbarColumnsTrayAndAbout) {
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  HWND hwnd = w.Hwnd();
  EXPECT_EQ(WindowText(hwnd), "Tolva - your intranet downloader");
  EXPECT_TRUE(IsWindowVisible(hwnd));

  // Toolbar: add files, add folder, download into, a separator, options; above the list.
  HWND bar = w.dlg.ToolBarHwnd();
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(IsWindowVisible(bar));
  ASSERT_EQ(SendMessageW(bar, TB_BUTTONCOUNT, 0, 0), 5);
  const int commands[] = {ID_ADD_FILES, ID_ADD_FOLDER, ID_DOWNLOAD_INTO, 0, ID_OPTIONS};
  for (int i = 0; i < 5; ++i) {
    TBBUTTON b{};
    SendMessageW(bar, TB_GETBUTTON, i, reinterpret_cast<LPARAM>(&b));
    EXPECT_EQ(b.idCommand, commands[i]) << i;
  }
  RECT barRect, listRect;
  GetWindowRect(bar, &barRect);
  GetWindowRect(w.dlg.List().Hwnd(), &listRect);
  EXPECT_LE(barRect.bottom, listRect.top + 2);
  EXPECT_GE(barRect.bottom - barRect.top, 20);

  const char* headers[] = {"file name", "progress", "speed", "total", "source", "destination"};
  const int widths[] = {143, 150, 70, 150, 150, 150};
  ASSERT_EQ(w.dlg.List().ColumnCount(), 6);
  for (int c = 0; c < 6; ++c) {
    EXPECT_EQ(w.dlg.List().ColumnHeader(c), headers[c]);
    EXPECT_EQ(w.dlg.List().ColumnWidth(c), widths[c]);
  }
  EXPECT_EQ(w.dlg.List().BkColor(), RGB(255, 255, 240));

  EXPECT_TRUE(w.dlg.Tray().IsAvailable());
  EXPECT_EQ(w.dlg.Tray().TipText(), kTitle);

  HMENU system = GetSystemMenu(hwnd, FALSE);
  int last = GetMenuItemCount(system) - 1;
  wchar_t item[64]{};
  GetMenuStringW(system, last, item, 64, MF_BYPOSITION);
  EXPECT_EQ(base::Narrow(item), "&About tolva...");
  EXPECT_EQ(GetMenuItemID(system, last), UINT(IDM_ABOUTBOX));

  // The About box from the tray menu's command.
  PostMessageW(hwnd, WM_COMMAND, ID_TRAY_ABOUT, 0);
  HWND about = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (about = w.FindDialog("About Tolva")) != nullptr; }));
  EXPECT_EQ(WindowText(GetDlgItem(about, IDC_KERNEL_VERSION)), "Downloader kernel version: 1.4.0");
  PostMessageW(about, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(PumpUntil([&] { return !IsWindow(about); }));

  // "Exit" closes the window and takes the icon away.
  PostMessageW(hwnd, WM_COMMAND, ID_TRAY_EXIT, 0);
  ASSERT_TRUE(PumpUntil([&] { return w.ended.load(); }));
  EXPECT_FALSE(w.dlg.Tray().IsAvailable());
}

// The window's message loop: a later start's files are announced to a message-only
// window of the window's thread, which the dialog's loop serves, and keys still work
// the dialog.
TEST_F(MainWindow, AMessageWindowOfItsThreadIsServedAndEscapeEndsTheWindow) {
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  std::atomic<int> served{0};
  std::unique_ptr<winui::MessageWindow> handOff;
  w.OnUi([&] {
    handOff = std::make_unique<winui::MessageWindow>(WM_APP + 77, [&] { ++served; });
    if (!handOff->Create()) handOff.reset();
  });
  ASSERT_NE(handOff, nullptr);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(PostMessageW(handOff->Hwnd(), WM_APP + 77, 0, 0));
  EXPECT_TRUE(PumpUntil([&] { return served == 3; }, 5s));
  w.OnUi([&] { handOff.reset(); });

  HWND hwnd = w.Hwnd();
  PostMessageW(w.dlg.List().Hwnd(), WM_KEYDOWN, VK_ESCAPE, 0);
  ASSERT_TRUE(PumpUntil([&] { return w.ended.load(); }, 5s));
  EXPECT_EQ(w.result, IDCANCEL);
  EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(MainWindow, ResizesKeepsItsMinimumAndSnapsToScreenEdges) {
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  HWND hwnd = w.Hwnd();
  SetWindowPos(hwnd, nullptr, 100, 100, 640, 420, SWP_NOZORDER);
  RECT client, list;
  GetClientRect(hwnd, &client);
  GetWindowRect(w.dlg.List().Hwnd(), &list);
  EXPECT_EQ(list.right - list.left, client.right - 15);
  EXPECT_EQ(list.bottom - list.top, client.bottom - 30);
  RECT bar;
  GetWindowRect(w.dlg.ToolBarHwnd(), &bar);
  EXPECT_EQ(bar.right - bar.left, client.right);

  SetWindowPos(hwnd, nullptr, 100, 100, 50, 50, SWP_NOZORDER);
  RECT r;
  GetWindowRect(hwnd, &r);
  EXPECT_GE(r.right - r.left, 200);
  EXPECT_GE(r.bottom - r.top, 140);

  SetWindowPos(hwnd, nullptr, 5, 7, 400, 300, SWP_NOZORDER);
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 0);
  int screenW = GetSystemMetrics(SM_CXSCREEN), screenH = GetSystemMetrics(SM_CYSCREEN);
  SetWindowPos(hwnd, nullptr, screenW - 405, screenH - 303, 400, 300, SWP_NOZORDER);
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(r.right, screenW);
  EXPECT_EQ(r.bottom, screenH);

  // Dragged, the window is only moved: its own size tells where its far edges land.
  SetWindowPos(hwnd, nullptr, 300, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  SetWindowPos(hwnd, nullptr, screenW - 404, screenH - 305, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(r.right, screenW);
  EXPECT_EQ(r.bottom, screenH);
  EXPECT_EQ(r.right - r.left, 400);
  EXPECT_EQ(r.bottom - r.top, 300);
  SetWindowPos(hwnd, nullptr, 3, 6, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 0);
  // Further from an edge than the snap distance: left where it was put.
  SetWindowPos(hwnd, nullptr, screenW - 412, 9, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  GetWindowRect(hwnd, &r);
  EXPECT_EQ(r.right, screenW - 12);
  EXPECT_EQ(r.top, 9);
  ASSERT_TRUE(w.Close());
}

TEST_F(MainWindow, RowsFollowTheKernelThroughAddCompletePauseAndDelete) {
  std::string out = temp.Folder("out");
  std::string a = temp.Write("a.bin", 1000000), b = temp.Write("b.bin", 300000);
  RunningWindow w(temp, {a, b}, out);
  ASSERT_TRUE(w.WaitStarted());
  ASSERT_TRUE(PumpUntil([&] { return w.State(0) == TS_COMPLETED && w.State(1) == TS_COMPLETED; }));
  EXPECT_EQ(w.RowTexts(), (std::vector<std::string>{"a", "b"}));

  // At run time: one source not there yet, one that copies at once. Row i shows task i,
  // so the waiting task gets its row with the one after it.
  std::string d = temp.Write("d.bin", 70000);
  w.OnUi([&] { w.dlg.QueueFiles({temp.File("c.bin"), d}, out); });
  ASSERT_TRUE(PumpUntil([&] { return w.State(3) == TS_COMPLETED; }));
  EXPECT_EQ(w.RowTexts(), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(w.State(2), TS_NOTHING);

  // Pause: the row stays; the watch thread takes the task up again by itself.
  w.OnUi([&] { w.dlg.Kernel().PauseTask(3); });
  EXPECT_EQ(w.Rows(), 4);
  ASSERT_TRUE(PumpUntil([&] { return w.State(3) == TS_COMPLETED; }));

  // Delete: every later row moves up with its task; the copy is gone.
  w.OnUi([&] { w.dlg.Kernel().DeleteTask(0); });
  EXPECT_EQ(w.RowTexts(), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_FALSE(FileExists(out + "\\a.bin"));

  // The late source appears; its task completes in its own row.
  temp.Write("c.bin", 5000);
  ASSERT_TRUE(PumpUntil([&] { return w.State(1) == TS_COMPLETED; }));
  EXPECT_EQ(w.RowTexts(), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_TRUE(FileExists(out + "\\c.bin"));
  ASSERT_TRUE(w.Close());
}

// The list keeps no names of its own: the window answers for them, and typing finds a
// row by the start of its name, from the row given on, wrapping around when asked.
TEST_F(MainWindow, TheListAsksTheWindowForCellTextAndTypeAheadFindsRows) {
  std::string out = temp.Folder("out");
  RunningWindow w(temp, {}, out, false, true);
  ASSERT_TRUE(w.WaitInitialised());
  w.OnUi([&] {
    w.dlg.QueueFiles(
        {"Z:\\nowhere\\Report.doc", "Z:\\nowhere\\readme.txt", "Z:\\nowhere\\setup.exe"}, out);
  });
  ASSERT_TRUE(PumpUntil([&] { return w.Rows() == 3; }));
  EXPECT_EQ(w.RowTexts(), (std::vector<std::string>{"Report", "readme", "setup"}));
  auto find = [&](int start, const wchar_t* text, UINT flags) {
    LVFINDINFOW info{};
    info.flags = flags;
    info.psz = text;
    int row = -2;
    w.OnUi([&] {
      row = static_cast<int>(
          SendMessageW(w.dlg.List().Hwnd(), LVM_FINDITEMW, start, reinterpret_cast<LPARAM>(&info)));
    });
    return row;
  };
  EXPECT_EQ(find(0, L"RE", LVFI_PARTIAL), 0);
  EXPECT_EQ(find(1, L"re", LVFI_PARTIAL), 1);  // from the row given on
  EXPECT_EQ(find(2, L"rep", LVFI_PARTIAL | LVFI_WRAP), 0);
  EXPECT_EQ(find(2, L"rep", LVFI_PARTIAL), -1);
  EXPECT_EQ(find(0, L"setup", LVFI_STRING), 2);
  EXPECT_EQ(find(0, L"set", LVFI_STRING), -1);  // a whole name only
  ASSERT_TRUE(w.Close());
}

TEST_F(MainWindow, ThreeTasksShowInTheTrayTipAndInTheList) {
  std::string out = temp.Folder("out");
  std::string a = temp.Write("alpha.bin", 100000);
  RunningWindow w(temp, {a, "Z:\\nowhere\\beta.bin", "Z:\\nowhere\\gamma.bin"}, out);
  ASSERT_TRUE(w.WaitStarted());
  ASSERT_TRUE(PumpUntil([&] { return w.State(0) == TS_COMPLETED; }));
  std::string tip;
  w.OnUi([&] { tip = w.dlg.BuildTrayTip(); });
  EXPECT_EQ(tip, std::string(kTitle) +
                     "\n\nalpha - 100.0% [completed]\nbeta - 0.0% [nothing]\n"
                     "gamma - 0.0% [nothing]");
  std::string shown = base::Narrow(CSystemTray::FitTip(tip));
  EXPECT_TRUE(PumpUntil([&] { return w.dlg.Tray().TipText() == shown; }));

  // The list as the window paints it: a full pale-green bar in the completed row only.
  HWND list = w.dlg.List().Hwnd();
  RECT client;
  GetClientRect(list, &client);
  HDC screen = GetDC(list);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
  ReleaseDC(list, screen);
  HGDIOBJ old = SelectObject(dc, bitmap);
  ASSERT_TRUE(PrintWindow(list, dc, PW_CLIENTONLY));
  auto completedPixels = [&](int row) {
    RECT cell = w.dlg.List().SubItemRect(row, 1);
    int n = 0;
    for (int x = cell.left; x < cell.right; ++x)
      n += GetPixel(dc, x, (cell.top + cell.bottom) / 2) == CTaskListCtrl::kCompletedBar;
    return n;
  };
  EXPECT_GT(completedPixels(0), 40);
  EXPECT_EQ(completedPixels(1), 0);

  // And as it is on the screen after a paint of its own.
  w.OnUi([&] { RedrawWindow(list, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW); });
  FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  HDC window = GetDC(list);
  BitBlt(dc, 0, 0, client.right, client.bottom, window, 0, 0, SRCCOPY);
  ReleaseDC(list, window);
  EXPECT_GT(completedPixels(0), 40);
  EXPECT_EQ(completedPixels(1), 0);
  RECT second = w.dlg.List().SubItemRect(1, 1);
  EXPECT_EQ(GetPixel(dc, second.left + 2, (second.top + second.bottom) / 2),
            CTaskListCtrl::kOuterFrame);
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ASSERT_TRUE(w.Close());
}

TEST_F(MainWindow, PlacementAndColumnWidthsComeBackFromTheRegistry) {
  theRegistry.WriteInteger("Tolva", "OptionsFlag", OPT_SAVE_PLACEMENT | OPT_SAVE_COLUMNS);
  {
    RunningWindow w(temp);
    ASSERT_TRUE(w.WaitStarted());
    SetWindowPos(w.Hwnd(), nullptr, 100, 120, 500, 300, SWP_NOZORDER);
    SendMessageW(w.dlg.List().Hwnd(), LVM_SETCOLUMNWIDTH, 2, 99);
    ASSERT_TRUE(w.Close());
  }
  EXPECT_EQ(ReadSetting("PositionX", -5), 100);
  EXPECT_EQ(ReadSetting("PositionY", -5), 120);
  EXPECT_EQ(ReadSetting("Width", -5), 500);
  EXPECT_EQ(ReadSetting("Height", -5), 300);
  EXPECT_EQ(ReadSetting("Column 2", -5), 99);
  EXPECT_EQ(ReadSetting("Column 0", -5), 143);

  // A stored 0 keeps the built-in width.
  theRegistry.WriteInteger("Tolva", "Column 4", 0);
  {
    RunningWindow w(temp);
    ASSERT_TRUE(w.WaitStarted());
    RECT r;
    GetWindowRect(w.Hwnd(), &r);
    EXPECT_EQ(r.left, 100);
    EXPECT_EQ(r.top, 120);
    EXPECT_EQ(r.right - r.left, 500);
    EXPECT_EQ(r.bottom - r.top, 300);
    EXPECT_EQ(w.dlg.List().ColumnWidth(2), 99);
    EXPECT_EQ(w.dlg.List().ColumnWidth(4), 150);

    // Moved, then closed while minimised: the placement from before stays. The close
    // is asked for on the window's thread at once, while it is still minimised.
    SetWindowPos(w.Hwnd(), nullptr, 300, 200, 450, 280, SWP_NOZORDER);
    bool closedIconic = false;
    for (int attempt = 0; attempt < 10 && !closedIconic; ++attempt) {
      ASSERT_TRUE(Minimise(w.Hwnd(), [&] { return IsIconic(w.Hwnd()) != FALSE; }));
      w.OnUi([&] {
        if (!IsIconic(w.Hwnd())) return;
        closedIconic = true;
        SendMessageW(w.Hwnd(), WM_CLOSE, 0, 0);
      });
    }
    ASSERT_TRUE(closedIconic);
    ASSERT_TRUE(PumpUntil([&] { return w.ended.load(); }));
  }
  EXPECT_EQ(ReadSetting("PositionX", -5), 100);
  EXPECT_EQ(ReadSetting("Width", -5), 500);

  // One negative value and the saved placement is ignored as a whole.
  theRegistry.WriteInteger("Tolva", "PositionY", -1);
  theRegistry.WriteInteger("Tolva", "OptionsFlag", 0);
  {
    RunningWindow w(temp);
    ASSERT_TRUE(w.WaitStarted());
    RECT r;
    GetWindowRect(w.Hwnd(), &r);
    EXPECT_NE(r.right - r.left, 500);
    ASSERT_TRUE(w.Close());
  }
}

TEST_F(MainWindow, MinimiseHidesIntoTheTrayAndShowBringsItBack) {
  // The default options hide a minimised window.
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  HWND hwnd = w.Hwnd();
  ASSERT_TRUE(Minimise(hwnd, [&] { return !IsWindowVisible(hwnd); }));

  // A double click on the icon runs its default item, "Show".
  SendMessageW(w.dlg.Tray().Hwnd(), WM_TRAYICON_EVENT, IDR_TRAY_POPUP, WM_LBUTTONDBLCLK);
  ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(hwnd) && !IsIconic(hwnd); }));
  ASSERT_TRUE(w.Close());

  // Without the option a minimised window stays on the task bar.
  theRegistry.WriteInteger("Tolva", "OptionsFlag", OPT_SAVE_COLUMNS);
  RunningWindow plain(temp);
  ASSERT_TRUE(plain.WaitStarted());
  ASSERT_TRUE(Minimise(plain.Hwnd(), [&] { return IsIconic(plain.Hwnd()) != FALSE; }));
  EXPECT_TRUE(IsWindowVisible(plain.Hwnd()));
  ASSERT_TRUE(plain.Close());
}

TEST_F(MainWindow, WithoutATrayIconItStillWorksAndTheIconComesLater) {
  std::string out = temp.Folder("out");
  std::string a = temp.Write("a.bin", 50000);
  RunningWindow w(temp, {a}, out, true);
  ASSERT_TRUE(w.WaitStarted());
  EXPECT_FALSE(w.dlg.Tray().IsAvailable());
  EXPECT_NE(w.dlg.ToolBarHwnd(), nullptr);
  ASSERT_TRUE(PumpUntil([&] { return w.State(0) == TS_COMPLETED; }));
  EXPECT_EQ(w.RowTexts(), std::vector<std::string>{"a"});

  // Hiding on minimise would leave no way back: the window stays on the task bar.
  ASSERT_TRUE(Minimise(w.Hwnd(), [&] { return IsIconic(w.Hwnd()) != FALSE; }));
  EXPECT_TRUE(IsWindowVisible(w.Hwnd()));

  // Once the shell takes icons, the timer adds ours with the current tip.
  w.dlg.refuseTray = false;
  ASSERT_TRUE(PumpUntil([&] { return w.dlg.Tray().IsAvailable(); }));
  EXPECT_EQ(w.dlg.Tray().TipText(),
            base::Narrow(CSystemTray::FitTip(std::string(kTitle) + "\n\na - 100.0% [completed]")));
  ASSERT_TRUE(w.Close());
}

TEST_F(MainWindow, TrayMenuOffersShowAboutExitAndExitCloses) {
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  PostMessageW(w.dlg.Tray().Hwnd(), WM_TRAYICON_EVENT, IDR_TRAY_POPUP, WM_RBUTTONUP);
  HWND menuWindow = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (menuWindow = w.FindWindowOfClass(kMenuClass)) != nullptr; }));
  HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(GetMenuItemCount(menu), 5);
  const char* texts[] = {"Show", "", "About...", "", "Exit"};
  for (int i = 0; i < 5; ++i) {
    wchar_t text[32]{};
    GetMenuStringW(menu, i, text, 32, MF_BYPOSITION);
    EXPECT_EQ(base::Narrow(text), texts[i]);
  }
  EXPECT_EQ(GetMenuDefaultItem(menu, TRUE, 0), 0u);

  // Up from no selection lands on the last item, "Exit".
  PostMessageW(menuWindow, WM_KEYDOWN, VK_UP, 0);
  PostMessageW(menuWindow, WM_KEYDOWN, VK_RETURN, 0);
  ASSERT_TRUE(PumpUntil([&] { return w.ended.load(); }));
}

// Clicks the tray icon; true when it opened the tray menu (which is closed again).
bool TrayMenuOpens(RunningWindow& w, UINT mouseMessage) {
  PostMessageW(w.dlg.Tray().Hwnd(), WM_TRAYICON_EVENT, IDR_TRAY_POPUP, mouseMessage);
  w.Flush();
  HWND menu = w.FindWindowOfClass(kMenuClass);
  if (menu) {
    PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    PumpUntil([&] { return !w.FindWindowOfClass(kMenuClass); });
  }
  return menu != nullptr;
}

// A shown dialog box of the window's thread other than `except`, or null.
HWND FindOtherDialog(RunningWindow& w, HWND except) {
  return FirstWindow({.thread = w.uiThread, .except = except});
}

// The shown windows of the window's thread with this caption.
int DialogCount(RunningWindow& w, const std::string& caption) {
  return static_cast<int>(
      FindWindows({.thread = w.uiThread, .className = nullptr, .caption = base::Widen(caption)})
          .size());
}

TEST_F(MainWindow, WhileADialogIsOpenTheTrayBringsItForwardAndRunsNothing) {
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  OtherWindow other;

  // The About box: a right click or a double click on the icon shows it again, with
  // no menu; commands that come anyway neither open a second box nor end the window.
  PostMessageW(w.Hwnd(), WM_COMMAND, ID_TRAY_ABOUT, 0);
  HWND about = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (about = w.FindDialog("About Tolva")) != nullptr; }));
  // Each dialog takes the foreground as it opens; the other program takes it back.
  ASSERT_TRUE(PumpUntil([&] { return GetForegroundWindow() == about; }, 5s));
  for (UINT click : {WM_RBUTTONUP, WM_LBUTTONDBLCLK}) {
    ASSERT_TRUE(other.ComeForward());
    EXPECT_FALSE(TrayMenuOpens(w, click));
    EXPECT_TRUE(PumpUntil([&] { return GetForegroundWindow() == about; }, 5s));
  }
  PostMessageW(w.Hwnd(), WM_COMMAND, ID_TRAY_ABOUT, 0);
  PostMessageW(w.Hwnd(), WM_COMMAND, ID_TRAY_EXIT, 0);
  w.Flush();
  EXPECT_EQ(DialogCount(w, "About Tolva"), 1);
  EXPECT_FALSE(w.ended);
  PostMessageW(about, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(PumpUntil([&] { return !IsWindow(about); }));

  // The file dialog: Exit from the tray would end the window under it.
  PostMessageW(w.Hwnd(), WM_COMMAND, ID_ADD_FILES, 0);
  HWND files = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (files = FileDialogAnswer::FindOpenDialog(w.uiThread)); }));
  ASSERT_TRUE(PumpUntil([&] { return GetForegroundWindow() == files; }, 5s));
  ASSERT_TRUE(other.ComeForward());
  EXPECT_FALSE(TrayMenuOpens(w, WM_RBUTTONUP));
  EXPECT_TRUE(PumpUntil([&] { return GetForegroundWindow() == files; }, 5s));
  PostMessageW(w.Hwnd(), WM_COMMAND, ID_TRAY_EXIT, 0);
  w.Flush();
  EXPECT_TRUE(IsWindow(files));
  EXPECT_FALSE(w.ended);
  PostMessageW(files, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(PumpUntil([&] { return !IsWindow(files); }));

  // The folder browser over the options: the one in front is the one that comes.
  PostMessageW(w.Hwnd(), WM_COMMAND, ID_OPTIONS, 0);
  HWND options = nullptr, browser = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (options = w.FindDialog("Options Dialog")) != nullptr; }));
  PostMessageW(options, WM_COMMAND, MAKEWPARAM(IDC_BROWSE_FOLDER, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(options, IDC_BROWSE_FOLDER)));
  ASSERT_TRUE(PumpUntil([&] {
    HWND front = FindOtherDialog(w, options);
    if (front && IsFolderBrowser(front)) browser = front;
    return browser != nullptr;
  }));
  ASSERT_TRUE(PumpUntil([&] { return GetForegroundWindow() == browser; }, 5s));
  ASSERT_TRUE(other.ComeForward());
  EXPECT_FALSE(TrayMenuOpens(w, WM_RBUTTONUP));
  EXPECT_TRUE(PumpUntil([&] { return GetForegroundWindow() == browser; }, 5s));
  PostMessageW(browser, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(PumpUntil([&] { return !IsWindow(browser); }));
  PostMessageW(options, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(PumpUntil([&] { return !IsWindow(options); }));

  // With every dialog closed the menu and its commands are back.
  EXPECT_TRUE(TrayMenuOpens(w, WM_RBUTTONUP));
  PostMessageW(w.Hwnd(), WM_COMMAND, ID_TRAY_EXIT, 0);
  EXPECT_TRUE(PumpUntil([&] { return w.ended.load(); }));
}

TEST_F(MainWindow, AHandOffWhileHiddenInTheTrayAsksForTheFolderInFront) {
  std::string a = temp.Write("a.bin", 1000);
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  HWND hwnd = w.Hwnd();
  // Wine on a bare X display now and then restores a minimised window when another
  // one takes the focus: until the files arrive while the window is in the tray, it
  // goes there again.
  OtherWindow other;
  std::atomic<bool> tried{false}, hidden{false};
  for (int attempt = 0; attempt < 10 && !hidden; ++attempt) {
    ASSERT_TRUE(Minimise(hwnd, [&] { return !IsWindowVisible(hwnd); }));
    ASSERT_TRUE(other.ComeForward());
    // Files handed over by a later start, with no folder anywhere.
    tried = false;
    w.Post([&] {
      hidden = !IsWindowVisible(hwnd);
      tried = true;
      if (hidden) w.dlg.QueueFiles({a}, "");
    });
    ASSERT_TRUE(PumpUntil([&] { return tried.load(); }));
  }
  ASSERT_TRUE(hidden);
  HWND box = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (box = w.FindDialog("Tolva")) != nullptr; }));
  // Wine has no foreground lock and ignores MB_TOPMOST: the foreground is what shows.
  EXPECT_TRUE(PumpUntil([&] { return GetForegroundWindow() == box; }, 5s));
  // Not owned by the hidden window: the box has a task-bar button of its own.
  EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
  // The window waits for the answer, in the tray.
  EXPECT_FALSE(IsWindowEnabled(hwnd));
  EXPECT_FALSE(IsWindowVisible(hwnd));

  // Lost behind another program, the box comes back with a click on the icon.
  ASSERT_TRUE(other.ComeForward());
  EXPECT_FALSE(TrayMenuOpens(w, WM_RBUTTONUP));
  EXPECT_TRUE(PumpUntil([&] { return GetForegroundWindow() == box; }, 5s));

  PostMessageW(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(PumpUntil([&] { return !IsWindow(box); }));
  EXPECT_TRUE(IsWindowEnabled(hwnd));
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_EQ(w.dlg.Kernel().GetTaskCount(), 0);
  EXPECT_TRUE(TrayMenuOpens(w, WM_RBUTTONUP));
  ASSERT_TRUE(w.Close());
}

TEST_F(MainWindow, FilesWithNoFolderAnywhereAskForTheDefaultFolder) {
  std::string a = temp.Write("a.bin", 1000);
  RunningWindow w(temp, {a}, "");
  HWND box = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (box = w.FindDialog("Tolva")) != nullptr; }));
  EXPECT_EQ(WindowText(GetDlgItem(box, 0xFFFF)),
            "You need to set up a default download folder !\n\n"
            "Open the options dialog and select the folder.");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(w.WaitStarted());
  EXPECT_EQ(w.dlg.Kernel().GetTaskCount(), 0);
  EXPECT_EQ(w.Rows(), 0);
  ASSERT_TRUE(w.Close());
}

}  // namespace
