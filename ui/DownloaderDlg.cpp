#include "ui/DownloaderDlg.h"

#include <commctrl.h>

#include <cstdio>

#include "resources/resource.h"
#include "ui/AboutBox.h"
#include "ui/SettingsRegistry.h"
#include "base/Utf8.h"
#include "winui/WaitCursor.h"

namespace {

const char kSection[] = "Tolva";

struct Column {
  const char* header;
  int width;
};
const Column kColumns[] = {{"file name", 143}, {"progress", 150}, {"speed", 70},
                           {"total", 150},     {"source", 150},   {"destination", 150}};
constexpr int kColumnCount = 6;

constexpr int kToolBarHeight = 24;
constexpr UINT_PTR kTipTimer = 0;
constexpr UINT kTipPeriodMs = 2000;
constexpr int kSnapDistance = 8;

std::string ColumnValueName(int column) {
  char name[16];
  snprintf(name, sizeof name, "Column %d", column);
  return name;
}

// A saved placement is used only where the window can be seen and reached: its title
// bar on a screen, and no bigger than all screens together. Values from a screen that
// is gone, or that no window of ours had, leave the window where the system puts it.
bool OnSomeScreen(long x, long y, long width, long height) {
  if (width > GetSystemMetrics(SM_CXVIRTUALSCREEN) || height > GetSystemMetrics(SM_CYVIRTUALSCREEN))
    return false;
  const LONG titleHeight = GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYFRAME);
  RECT title = {x, y, x + width, y + titleHeight};
  return MonitorFromRect(&title, MONITOR_DEFAULTTONULL) != nullptr;
}

}  // namespace

CDownloaderDlg::CDownloaderDlg() : winui::Dialog(IDD_TOLVA_DIALOG), m_list(m_kernel) {
  m_hIcon =
      static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN_WINDOW),
                                    IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

CDownloaderDlg::~CDownloaderDlg() {
  // The kernel outlives our members (it lives in a base): no call may reach them once
  // they are gone.
  m_kernel.SetObserver(nullptr);
  m_kernel.Stop();
}

bool CDownloaderDlg::OnInitDialog() {
  HWND hwnd = Hwnd();
  m_uiThread = GetCurrentThreadId();
  m_list.Attach(Item(IDC_TASK_LIST));
  m_noticeTarget = hwnd;
  m_active = m_list.Hwnd() != nullptr;

  if (HMENU system = GetSystemMenu(hwnd, FALSE)) {
    const wchar_t* about = nullptr;
    int n =
        LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, reinterpret_cast<LPWSTR>(&about), 0);
    if (n > 0) {
      std::wstring text(about, static_cast<size_t>(n));
      AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(system, MF_STRING, IDM_ABOUTBOX, text.c_str());
    }
  }

  SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  HICON smallIcon = static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_MAIN_WINDOW), IMAGE_ICON,
                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  SendMessageW(hwnd, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(smallIcon ? smallIcon : m_hIcon));

  for (int c = 0; c < kColumnCount; ++c)
    m_list.InsertColumn(c, kColumns[c].header, kColumns[c].width, LVCFMT_LEFT);
  for (int c = 0; c < kColumnCount; ++c) {
    long saved = 0;
    theRegistry.ReadInteger(kSection, ColumnValueName(c), saved);
    // Negative widths mean "fit the contents" to the control: not ours to store. One
    // wider than all screens together was not stored by us either.
    if (saved > 0 && saved <= GetSystemMetrics(SM_CXVIRTUALSCREEN))
      m_list.SetColumnWidth(c, static_cast<int>(saved));
  }
  m_list.SetBkColor(CTaskListCtrl::kBackground);
  // Hovering a row asks us for its tip: why its task waits.
  SendMessageW(m_list.Hwnd(), LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_INFOTIP, LVS_EX_INFOTIP);

  // Without its toolbar or tray icon the window still works: files can be added from
  // the command line or another instance, and the tray is retried by the timer.
  if (m_toolBar.Create(hwnd, IDR_TOOLBAR,
                       WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_TOP | CCS_NORESIZE |
                           CCS_NOPARENTALIGN | CCS_NODIVIDER,
                       IDR_TOOLBAR))
    LayOutForToolBar();

  // The saved placement goes on after the toolbar has grown the window, or the window
  // would come back a little taller at every start.
  long x = -1, y = -1, width = -1, height = -1;
  theRegistry.ReadInteger(kSection, "PositionX", x);
  theRegistry.ReadInteger(kSection, "PositionY", y);
  theRegistry.ReadInteger(kSection, "Width", width);
  theRegistry.ReadInteger(kSection, "Height", height);
  if (x >= 0 && y >= 0 && width >= 0 && height >= 0 && OnSomeScreen(x, y, width, height))
    SetWindowPos(hwnd, HWND_TOP, x, y, width, height, 0);

  if (AddTrayIcon()) m_tray.ChooseDefaultItem(0, true);

  SetTimer(hwnd, kTipTimer, kTipPeriodMs, nullptr);
  ApplyOptions();
  m_kernel.LoadTaskList();
  QueueFiles(m_startFiles, m_startFolder);
  PostMessageW(hwnd, WM_START_KERNEL, 0, 0);
  return true;
}

bool CDownloaderDlg::AddTrayIcon() {
  HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TRAY),
                                             IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  if (!m_tray.AddIcon(nullptr, WM_TRAYICON_EVENT, BuildTrayTip(kTipEnough), icon, IDR_TRAY_POPUP))
    return false;
  m_tray.SetMainWindow(Hwnd());
  return true;
}

void CDownloaderDlg::LayOutForToolBar() {
  // The template leaves 17 pixels above the list; the toolbar needs kToolBarHeight.
  // Move the other children down by the difference and grow the window by as much.
  HWND hwnd = Hwnd();
  const int shift = kToolBarHeight - 17;
  for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (child == m_toolBar.Hwnd()) continue;
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
    SetWindowPos(child, nullptr, r.left, r.top + shift, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE);
  }
  RECT window;
  GetWindowRect(hwnd, &window);
  SetWindowPos(hwnd, nullptr, 0, 0, window.right - window.left, window.bottom - window.top + shift,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  RECT client;
  GetClientRect(hwnd, &client);
  SetWindowPos(m_toolBar.Hwnd(), nullptr, 7, -2, client.right, kToolBarHeight,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void CDownloaderDlg::ApplyOptions() {
  std::string folder = m_options.LoadDefaultFolder();
  if (!folder.empty()) m_kernel.SetDefaultFolder(folder);
  int retry = RetryPeriodFromOptions(m_options.LoadOptions());
  if (retry) m_kernel.SetWatchInterval(retry);
  ApplyViewOptions();
}

void CDownloaderDlg::ApplyViewOptions() {
  int options = m_options.LoadOptions();
  // Taken by the next file that is added, without a restart.
  m_kernel.SetReplaceExisting((options & OPT_REPLACE_EXISTING) != 0);
  m_kernel.SetFilesAtOnce(COptionsDialog::LoadFilesAtOnce());
  m_kernel.SetSpeedLimit(static_cast<uint32_t>(COptionsDialog::LoadSpeedLimit()));
  m_kernel.SetVerifyCopies(VerifyFromOptions(options));
  if (int unit = SpeedUnitFromOptions(options)) {
    m_kernel.SetSpeedUnit(unit);
    m_list.m_strSpeedUnit = SpeedUnitLabel(unit);
  }
  SetWindowPos(Hwnd(), (options & OPT_ALWAYS_ON_TOP) ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
}

bool CDownloaderDlg::QueueFiles(const std::vector<std::string>& files, const std::string& folder) {
  // Without any folder the kernel asks the user once for the whole batch: one slice.
  const bool whole = folder.empty() && m_kernel.GetDefaultFolder().empty();
  const bool inTurn = m_addQueue.Empty() && !m_adding;
  if (inTurn && (files.size() <= kFilesPerTurn || whole || !m_list.Hwnd()))
    return AddNow(files, folder, Refresh::Now);
  // Behind those still waiting, so that sources keep the order they came in.
  m_addQueue.Push(files, folder, whole);
  if (inTurn) AddNextSlice();
  return true;
}

void CDownloaderDlg::AddNextSlice() {
  m_addTurnPosted = false;
  // A message box of the slice being added runs its own loop: the next one waits.
  if (m_adding || m_addQueue.Empty()) return;
  CAddQueue::Slice slice = m_addQueue.Pop();
  AddNow(slice.files, slice.folder, Refresh::Soon);
  if (m_addQueue.Empty() || m_addTurnPosted) return;
  if (PostMessageW(Hwnd(), WM_APP_ADD_MORE, 0, 0)) {
    m_addTurnPosted = true;
    return;
  }
  // No room in the message queue: the rest at once rather than never.
  while (!m_addQueue.Empty()) {
    slice = m_addQueue.Pop();
    AddNow(slice.files, slice.folder, Refresh::Now);
  }
}

bool CDownloaderDlg::AddNow(const std::vector<std::string>& files, const std::string& folder,
                            Refresh refresh) {
  m_adding = true;
  bool added = m_kernel.AddTasks(files, folder);
  m_adding = false;
  // Every new task gets its row, opened or not: one whose share is down can still be
  // paused, stopped or deleted. The rows of a hand-off's slices come with the next
  // coalesced refresh.
  if (m_list.Hwnd()) {
    if (refresh == Refresh::Now)
      RefreshNow();
    else
      ViewChanged();
  }
  return added;
}

std::string CDownloaderDlg::BuildTrayTip(size_t enough) {
  std::string tip = "Tolva - Your Ziravadi Downloader";
  // Early in the tip, which shows only its beginning: why copies run no faster.
  if (uint32_t mbps = m_kernel.GetSpeedLimit())
    tip += "\nSpeed limited to " + std::to_string(mbps) + " Mbps";
  int count = m_kernel.GetTaskCount();
  std::string lines;
  for (int i = 0; i < count && tip.size() + lines.size() <= enough; ++i) {
    CDownloadTask* task = CDownloadTask::Checked(m_kernel.GetTask(i));
    // A task on its way out of the list is no longer the user's.
    if (!task || task->state == TS_DELETED) continue;
    double percent = CTaskListCtrl::Percent(task->offset, task->fileSize, task->state);
    char progress[32];
    snprintf(progress, sizeof progress, " - %.1f%% [", percent);
    lines += task->name + progress + task->GetStateName() + "]\n";
  }
  if (!lines.empty()) {
    lines.pop_back();
    tip += "\n\n" + lines;
  }
  return tip;
}

void CDownloaderDlg::ShowAbout() {
  CAboutBox about;
  about.m_text = "Downloader kernel version: " + m_kernel.GetVersion();
  about.DoModal(Hwnd());
}

bool CDownloaderDlg::OnCommand(UINT id) {
  // A tray command that still arrives while a modal dialog disables the window (its
  // menu was open when the dialog came) is dropped: the dialog keeps the window.
  bool blocked = !IsWindowEnabled(Hwnd());
  switch (id) {
    case ID_TRAY_SHOW:
      if (!blocked) ShowWindow(Hwnd(), SW_SHOWNOACTIVATE);
      return true;
    case ID_TRAY_ABOUT:
      if (!blocked) ShowAbout();
      return true;
    case ID_TRAY_EXIT:
      if (!blocked) PostMessageW(Hwnd(), WM_CLOSE, 0, 0);
      return true;
    default:
      return OnTaskOrToolCommand(id);
  }
}

INT_PTR CDownloaderDlg::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_START_KERNEL:
      m_kernel.Start();
      m_started = true;
      return SetMessageResult(1);
    case WM_APP_KERNEL_NOTICE:
      HandleNotice(static_cast<Notice>(wParam), lParam);
      return TRUE;
    case WM_APP_ADD_MORE:
      AddNextSlice();
      return TRUE;
    case WM_APP_REFRESH:
      m_refreshPosted = false;
      if (m_viewStale) RefreshNow();
      return TRUE;
    case WM_APP_VIEW:
      m_viewPosted = false;
      RefreshView();
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wParam) == 0 && OnCommand(LOWORD(wParam))) return TRUE;
      break;  // IDOK and IDCANCEL close the window, as in any dialog
    case WM_NOTIFY:
      return OnNotify(*reinterpret_cast<NMHDR*>(lParam));
    case WM_CONTEXTMENU:
      return OnContextMenu(reinterpret_cast<HWND>(wParam), lParam);
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        ShowAbout();
        return TRUE;
      }
      return FALSE;
    case WM_DRAWITEM:
      if (wParam == IDC_TASK_LIST) {
        m_list.DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
      }
      return FALSE;
    case WM_TIMER:
      if (wParam == kTipTimer) {
        m_kernel.AddFoundTasks();  // found files whose notice could not be posted
        if (!m_tray.IsAvailable()) {
          if (AddTrayIcon()) m_tray.ChooseDefaultItem(0, true);
        } else if (!m_tray.ChangeTip(BuildTrayTip(kTipEnough))) {
          // The shell lost its icons (it restarted): put ours back with the new tip.
          m_tray.WithdrawIcon();
          m_tray.ReAddIcon();
        }
        return TRUE;
      }
      if (wParam == kRefreshTimer) {
        OnRefreshTimer();
        return TRUE;
      }
      return FALSE;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) OnSize(LOWORD(lParam), HIWORD(lParam));
      // A minimised window leaves only the tray icon when the user wants so.
      if (wParam == SIZE_MINIMIZED && m_tray.IsAvailable() &&
          (m_options.LoadOptions() & OPT_TRAY_ON_MINIMIZE))
        ShowWindow(Hwnd(), SW_HIDE);
      return TRUE;
    case WM_ACTIVATE:
      if (HIWORD(wParam) != 0 && m_tray.IsAvailable() &&
          (m_options.LoadOptions() & OPT_TRAY_ON_MINIMIZE))
        ShowWindow(Hwnd(), SW_HIDE);
      return FALSE;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = POINT{200, 140};
      return TRUE;
    }
    case WM_WINDOWPOSCHANGING:
      OnWindowPosChanging(*reinterpret_cast<WINDOWPOS*>(lParam));
      return FALSE;
    case WM_DESTROY:
      OnDestroy();
      return FALSE;
    default:
      break;
  }
  return Dialog::HandleMessage(msg, wParam, lParam);
}

void CDownloaderDlg::OnSize(int width, int height) {
  if (!m_list.Hwnd()) return;
  HDWP batch = BeginDeferWindowPos(2);
  if (!batch) return;
  batch = DeferWindowPos(batch, m_list.Hwnd(), nullptr, 0, 0, width - 15, height - 30,
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (batch && m_toolBar.Hwnd())
    batch = DeferWindowPos(batch, m_toolBar.Hwnd(), nullptr, 0, 0, width, kToolBarHeight,
                           SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (batch) EndDeferWindowPos(batch);
}

void CDownloaderDlg::OnWindowPosChanging(WINDOWPOS& pos) {
  // Snap to a screen edge that the window comes within a few pixels of. A minimised
  // window is parked far off screen and must stay there.
  if ((pos.flags & SWP_NOMOVE) || IsIconic(Hwnd()) || pos.x <= -32000 || pos.y <= -32000) return;
  int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
  // A drag only moves the window: the size it has is the size it keeps.
  int width = pos.cx, height = pos.cy;
  if (pos.flags & SWP_NOSIZE) {
    RECT r;
    if (!GetWindowRect(Hwnd(), &r)) return;
    width = r.right - r.left;
    height = r.bottom - r.top;
  }
  if (pos.x < kSnapDistance) pos.x = 0;
  if (pos.y < kSnapDistance) pos.y = 0;
  if (pos.x + width > screenWidth - kSnapDistance) pos.x = screenWidth - width;
  if (pos.y + height > screenHeight - kSnapDistance) pos.y = screenHeight - height;
}

void CDownloaderDlg::OnDestroy() {
  winui::WaitCursor wait;
  HWND hwnd = Hwnd();
  // Sources still waiting for their turn go to the kernel, and so into the saved list.
  while (!m_addQueue.Empty()) {
    CAddQueue::Slice slice = m_addQueue.Pop();
    m_kernel.AddTasks(slice.files, slice.folder);
  }
  m_kernel.Stop();
  m_active = false;
  m_noticeTarget = nullptr;
  KillTimer(hwnd, kTipTimer);
  KillTimer(hwnd, kRefreshTimer);
  m_refreshTimerOn = false;
  m_tray.DeleteIcon();

  int options = m_options.LoadOptions();
  if (options & OPT_SAVE_PLACEMENT) {
    RECT r;
    GetWindowRect(hwnd, &r);
    // A minimised window sits off screen: keep the placement saved before.
    if (r.right > 0 && !IsIconic(hwnd)) {
      theRegistry.WriteInteger(kSection, "PositionX", r.left);
      theRegistry.WriteInteger(kSection, "PositionY", r.top);
      theRegistry.WriteInteger(kSection, "Width", r.right - r.left);
      theRegistry.WriteInteger(kSection, "Height", r.bottom - r.top);
    }
  }
  if (options & OPT_SAVE_COLUMNS) {
    for (int c = 0; c < kColumnCount; ++c)
      theRegistry.WriteInteger(kSection, ColumnValueName(c), m_list.ColumnWidth(c));
  }
}
