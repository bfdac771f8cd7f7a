// The main window as the kernel's observer. The kernel calls these from the window's
// thread and from its workers, holding none of its locks: a call from a worker only
// posts a notice, and the window's thread brings the rows up to date when it
// arrives. Notices never trust an index they carried across threads (a delete may
// have moved the tasks since): rows are matched to the kernel's list as it is now.
// Thousands of tasks copying send thousands of notices a second: the workers' notices
// gather into one posted message, and the list and the tip are redrawn a few times a
// second, at once only for what the user did and for the end of the last copy.
#include "ui/DownloaderDlg.h"

#include <algorithm>

#include "resources/resource.h"
#include "base/Utf8.h"

bool CDownloaderDlg::OnUiThread() const { return GetCurrentThreadId() == m_uiThread; }

bool CDownloaderDlg::Post(Notice notice, LPARAM arg) {
  HWND target = m_noticeTarget;
  return target &&
         PostMessageW(target, WM_APP_KERNEL_NOTICE, static_cast<WPARAM>(notice), arg) != FALSE;
}

void CDownloaderDlg::Deliver(Notice notice, LPARAM arg) {
  if (OnUiThread())
    HandleNotice(notice, arg);
  else
    Post(notice, arg);
}

void CDownloaderDlg::Report(unsigned changes) {
  if (OnUiThread()) {
    OnChanges(changes, true);
    return;
  }
  const unsigned before = m_changes.fetch_or(changes);
  if (before == 0) {
    // Nothing will take these: let the next report try to post again.
    if (!Post(Notice::Changed, 0)) m_changes = 0;
  } else if ((before & kHeld) && (changes & kTaskCompleted) && !m_kernel.AnyTaskCopying()) {
    // The end of the last copy shows at once, not at the tick.
    Post(Notice::Changed, 0);
  }
}

void CDownloaderDlg::OnStart() { Deliver(Notice::Start, 0); }

void CDownloaderDlg::OnTaskReady(int, CDownloadTask*) { Report(kRowsChanged | kTaskProgress); }

void CDownloaderDlg::OnTasksAdded() { Report(kRowsChanged); }

bool CDownloaderDlg::OnTasksFound() {
  // One notice takes everything found until it arrives; should none get through, the
  // tip's timer takes it.
  if (!m_foundPosted.exchange(true) && !Post(Notice::Found, 0)) m_foundPosted = false;
  return true;
}

void CDownloaderDlg::OnTaskSpeed(int, CDownloadTask*) { Report(kTaskProgress); }

void CDownloaderDlg::OnTaskPaused(int) { Report(kTaskProgress); }

void CDownloaderDlg::OnTaskCompleted(int) {
  ++m_completions;
  Report(kTaskProgress | kTaskCompleted);
}

void CDownloaderDlg::OnTaskDeleted(int index) {
  if (OnUiThread()) HandleNotice(Notice::Deleted, index);
  // The tip and the other rows follow the list as it is now.
  Post(Notice::Refresh, 0);
}

bool CDownloaderDlg::IsActive() { return m_active; }

bool CDownloaderDlg::OnError(uint32_t code) {
  if (code != NoDefaultFolder) return true;  // a failing write: let the kernel try again
  // Only the window's thread may show a message; the kernel asks this only from there.
  if (OnUiThread()) {
    // Files handed over by a later start may ask while the window is hidden in the
    // tray: a box owned by it would have no task-bar button and could open behind
    // other programs. It then stands on its own, in front, and still holds every
    // window of this thread until it is answered.
    HWND hwnd = Hwnd();
    bool windowShown = IsWindowVisible(hwnd) && !IsIconic(hwnd);
    UINT style = MB_ICONEXCLAMATION | MB_OK | MB_SETFOREGROUND;
    if (!windowShown) style |= MB_TASKMODAL | MB_TOPMOST;
    MessageBoxW(windowShown ? hwnd : nullptr,
                L"You need to set up a default download folder !\n\n"
                L"Open the options dialog and select the folder.",
                L"Tolva", style);
  }
  return false;
}

void CDownloaderDlg::HandleNotice(Notice notice, LPARAM arg) {
  if (notice == Notice::Found) {
    m_foundPosted = false;
    m_kernel.AddFoundTasks();
    return;
  }
  if (!m_list.Hwnd()) return;
  switch (notice) {
    case Notice::Start:
      m_list.SetItemCount(0);
      m_rowNames.clear();
      RefreshNow();
      break;
    case Notice::Changed:
      TakeChanges();
      break;
    case Notice::Deleted:
      if (arg >= 0 && arg < static_cast<LPARAM>(m_rowNames.size())) {
        m_list.DeleteItem(static_cast<int>(arg));
        m_rowNames.erase(m_rowNames.begin() + arg);
      }
      break;
    case Notice::Refresh:
      RefreshNow();
      break;
    case Notice::Found:
      break;
  }
}

void CDownloaderDlg::OnChanges(unsigned changes, bool now) {
  // New rows come with the refresh, like everything else shown.
  // The end of the last copy shows at once, not a period later.
  if (now || ((changes & kTaskCompleted) && m_shownCopying && !AnyTaskCopying()))
    RefreshNow();
  else if (changes)
    ViewChanged();
  if (changes) CheckBatchDone();
}

void CDownloaderDlg::TakeChanges() {
  // Workers' notices cost a server call each way and a thread switch: with thousands of
  // small files ending a second, the tick takes them instead, as often as it repaints.
  OnChanges(m_changes.exchange(kHeld) & ~kHeld, false);
  if (!m_refreshTimerOn) ReleaseHeldChanges();
}

void CDownloaderDlg::ReleaseHeldChanges() {
  if (m_changes.fetch_and(~kHeld) & ~kHeld) OnChanges(m_changes.exchange(0), false);
}

void CDownloaderDlg::CheckBatchDone() {
  // A completion since the last balloon is news; a short task may start and end
  // between two looks, so the count tells, not a state seen in between.
  if (m_completions == m_completionsAnnounced) return;
  const int count = m_kernel.GetTaskCount();
  bool allDone = count > 0;
  // From the end: the newest tasks are the ones still to come, so a batch under way is
  // seen at once, not after every finished row above it (this runs at every notice).
  for (int i = count - 1; i >= 0 && allDone; --i) {
    CDownloadTask* task = CDownloadTask::Checked(m_kernel.GetTask(i));
    allDone = task && task->GetState() == TS_COMPLETED;
  }
  if (!allDone) return;
  // Read after the look: a task that ended during it is in this balloon, not the next.
  m_completionsAnnounced = m_completions;
  HWND hwnd = Hwnd();
  // The user who looks at the list sees it for himself.
  if (GetForegroundWindow() == hwnd && IsWindowVisible(hwnd) && !IsIconic(hwnd)) return;
  ShowTrayBalloon("Downloads complete",
                  std::to_string(count) + (count == 1 ? " file downloaded" : " files downloaded"));
}

void CDownloaderDlg::ShowTrayBalloon(const std::string& title, const std::string& text) {
  m_tray.ShowBalloon(title, text);
}

void CDownloaderDlg::ViewChanged() {
  m_viewStale = true;
  // Checked here as well as at the tick: timers come only when the queue is empty, and
  // a steady flow of notices would hold them off.
  if (m_refreshTimerOn && GetTickCount() - m_lastRefresh < kRefreshPeriodMs) return;
  if (!m_refreshPosted && PostMessageW(Hwnd(), WM_APP_REFRESH, 0, 0)) {
    m_refreshPosted = true;
    return;
  }
  if (!m_refreshPosted) RefreshNow();  // no room in the queue: now rather than never
}

void CDownloaderDlg::RefreshNow() {
  // One row per task, named after it: rows follow the list as it is now.
  SyncRows(m_kernel.GetTaskCount());
  m_shownCopying = AnyTaskCopying();
  // The paint comes as the next turn, not in this one: telling the list its rows and
  // painting them each take tens of milliseconds while files copy, and a caller (the
  // user's click, another program's message) waits for the whole of a turn.
  if (!m_viewPosted && PostMessageW(Hwnd(), WM_APP_VIEW, 0, 0))
    m_viewPosted = true;
  else if (!m_viewPosted)
    RefreshView();             // no room in the queue: now rather than never
  m_viewStale = m_rowsBehind;  // the tick comes back for them
  m_lastRefresh = GetTickCount();
  // Runs while changes keep coming, its next tick a period after this refresh; the
  // first quiet tick stops it.
  m_refreshTimerOn = SetTimer(Hwnd(), kRefreshTimer, kRefreshPeriodMs, nullptr) != 0;
}

void CDownloaderDlg::OnRefreshTimer() {
  // The reports held since the last look.
  if (const unsigned held = m_changes.exchange(kHeld) & ~kHeld) OnChanges(held, false);
  if (m_viewStale) {
    RefreshNow();
  } else {
    KillTimer(Hwnd(), kRefreshTimer);
    m_refreshTimerOn = false;
    ReleaseHeldChanges();
  }
}

void CDownloaderDlg::RefreshView() {
  RepaintRows();
  // Painted now: paints, like timers, wait for an empty queue.
  UpdateWindow(m_list.Hwnd());
  RefreshTip();
}

bool CDownloaderDlg::AnyTaskCopying() const {
  for (int i = 0, n = m_kernel.GetTaskCount(); i < n; ++i) {
    const CDownloadTask* task = CDownloadTask::Checked(m_kernel.GetTask(i));
    if (!task) continue;
    const int state = task->state;
    if (state == TS_READY || state == TS_DOWNLOADED) return true;
  }
  return false;
}

void CDownloaderDlg::SyncRows(int count) {
  // The list keeps no rows of its own, only their number: a thousand rows cost one
  // message, not a thousand inserts and a relayout (a third of a millisecond each
  // under Wine, on the window's thread while files arrive).
  const int shown = static_cast<int>(m_rowNames.size());
  const int rows = count > shown && shown >= m_list.TopIndex() + m_list.CountPerPage() &&
                           GetTickCount() - m_lastRowCount < kRowCountPeriodMs
                       ? shown
                       : count;
  m_rowsBehind = rows < count;
  if (shown > rows) m_rowNames.resize(static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    CDownloadTask* task = CDownloadTask::Checked(m_kernel.GetTask(i));
    if (!task) break;
    if (i >= static_cast<int>(m_rowNames.size())) {
      m_rowNames.push_back(task->name);
    } else if (m_rowNames[static_cast<size_t>(i)] != task->name) {
      m_rowNames[static_cast<size_t>(i)] = task->name;
    }
  }
  if (static_cast<int>(m_rowNames.size()) == shown) return;
  const bool told = m_list.SetRowCount(static_cast<int>(m_rowNames.size()));
  m_lastRowCount = GetTickCount();
  if (!told) m_rowNames.resize(static_cast<size_t>(std::max(0, m_list.ItemCount())));
}

void CDownloaderDlg::RepaintRows() {
  // The rows, without erasing: every row paints its own background, and a paint is
  // clipped to what was invalidated. Not the column headings above them: a paint that
  // covers them redraws the heading control too, its themed parts a dozen server
  // calls a time under Wine.
  HWND list = m_list.Hwnd();
  RECT rows{};
  GetClientRect(list, &rows);
  RECT heading{};
  if (HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
      header && IsWindowVisible(header) && GetWindowRect(header, &heading)) {
    MapWindowPoints(nullptr, list, reinterpret_cast<POINT*>(&heading), 2);
    rows.top = std::max(rows.top, heading.bottom);
  }
  InvalidateRect(list, &rows, FALSE);
}

void CDownloaderDlg::RefreshTip() {
  // The shell hears only of a changed tip.
  std::string tip = BuildTrayTip(kTipEnough);
  if (m_tray.TipText() != base::Narrow(CSystemTray::FitTip(tip))) m_tray.ChangeTip(tip);
}
