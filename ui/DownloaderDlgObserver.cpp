// The main window as the kernel's observer. The kernel calls these from the window's
// thread and from its three workers, often holding its lock: a call from a worker
// only posts a notice, and the window's thread brings the rows up to date when it
// arrives. Notices never trust an index they carried across threads (a delete may
// have moved the tasks since): rows are matched to the kernel's list as it is now.
#include "ui/DownloaderDlg.h"

#include <algorithm>

#include "resources/resource.h"
#include "base/Utf8.h"

bool CDownloaderDlg::OnUiThread() const { return GetCurrentThreadId() == m_uiThread; }

void CDownloaderDlg::Post(Notice notice, LPARAM arg) {
  if (HWND target = m_noticeTarget)
    PostMessageW(target, WM_APP_KERNEL_NOTICE, static_cast<WPARAM>(notice), arg);
}

void CDownloaderDlg::Deliver(Notice notice, LPARAM arg) {
  if (OnUiThread()) {
    HandleNotice(notice, arg);
  } else if (notice == Notice::Speed || notice == Notice::Paused || notice == Notice::Completed) {
    // These only ask for a repaint: one waiting in the queue is enough, so a busy
    // window never finds its queue flooded with speed reports.
    if (!m_repaintQueued.exchange(true)) Post(Notice::Repaint, 0);
  } else {
    Post(notice, arg);
  }
}

void CDownloaderDlg::OnStart() { Deliver(Notice::Start, 0); }

void CDownloaderDlg::OnTaskReady(int, CDownloadTask*) { Deliver(Notice::Ready, 0); }

void CDownloaderDlg::OnTaskSpeed(int, CDownloadTask*) { Deliver(Notice::Speed, 0); }

void CDownloaderDlg::OnTaskPaused(int) { Deliver(Notice::Paused, 0); }

void CDownloaderDlg::OnTaskCompleted(int) { Deliver(Notice::Completed, 0); }

void CDownloaderDlg::OnTaskDeleted(int index) {
  if (OnUiThread()) {
    HandleNotice(Notice::Deleted, index);
    // The record leaves the list only after this returns: refresh the tip then.
    Post(Notice::Refresh, 0);
  } else {
    Post(Notice::Refresh, 0);
  }
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
  if (!m_list.Hwnd()) return;
  switch (notice) {
    case Notice::Start:
      m_list.DeleteAllItems();
      SyncRows(m_kernel.GetTaskCount());
      break;
    case Notice::Ready:
      // Rows were made when the tasks were added; a task opened before the kernel
      // started gets its row here.
      SyncRows(m_kernel.GetTaskCount());
      RepaintRows();
      break;
    case Notice::Repaint:
      m_repaintQueued = false;
      RepaintRows();
      break;
    case Notice::Speed:
    case Notice::Completed:
      RepaintRows();
      break;
    case Notice::Paused:
      InvalidateRect(m_list.Hwnd(), nullptr, TRUE);
      UpdateWindow(m_list.Hwnd());
      break;
    case Notice::Deleted:
      if (arg >= 0 && arg < m_list.ItemCount()) m_list.DeleteItem(static_cast<int>(arg));
      break;
    case Notice::Refresh:
      // Rows never outnumber tasks; names follow the tasks they show.
      SyncRows(std::min(m_list.ItemCount(), m_kernel.GetTaskCount()));
      RepaintRows();
      break;
  }
  RefreshTip();
}

void CDownloaderDlg::SyncRows(int count) {
  // Rows added one by one with drawing on cost a redraw each (tens of milliseconds under
  // Wine): a list of thousands read at start would hold the window for minutes.
  const bool many = count - m_list.ItemCount() > 1;
  if (many) m_list.SetRedraw(false);
  while (m_list.ItemCount() > count) m_list.DeleteItem(m_list.ItemCount() - 1);
  for (int i = 0; i < count; ++i) {
    CDownloadTask* task = m_kernel.GetTask(i);
    if (!task) break;
    if (i >= m_list.ItemCount())
      m_list.InsertItem(i, task->name);
    else if (m_list.ItemText(i) != task->name)
      m_list.SetItemText(i, task->name);
  }
  if (many) m_list.SetRedraw(true);
}

void CDownloaderDlg::RepaintRows() {
  // The whole list: a paint is clipped to what was invalidated.
  InvalidateRect(m_list.Hwnd(), nullptr, FALSE);
}

void CDownloaderDlg::RefreshTip() {
  // Speed notices come many times a second; the shell hears only of a changed tip.
  std::string tip = BuildTrayTip();
  if (m_tray.TipText() != base::Narrow(CSystemTray::FitTip(tip))) m_tray.ChangeTip(tip);
}
