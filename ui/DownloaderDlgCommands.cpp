// The main window's commands: the task list's context menu and its seven task
// commands, adding files with the file dialogs, the options dialog, and the toolbar's
// tooltips.
#include "ui/DownloaderDlg.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>

#include "resources/resource.h"
#include "ui/FileOpenDialog.h"
#include "ui/FolderPicker.h"
#include "ui/TaskMenu.h"
#include "winui/StringResource.h"
#include "base/ComScope.h"
#include "base/Utf8.h"
#include "winui/WaitCursor.h"

std::string CDownloaderDlg::s_lastIntoFolder;

namespace {

// Tooltip buffers hold 80 characters with the terminating zero.
constexpr size_t kTipLength = 79;

// The folder part of a path: up to, not including, its last backslash.
std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A toolbar command's tooltip: what its string says after the first line end.
std::wstring ToolTipText(UINT id) {
  std::string text = winui::LoadStringResource(id);
  size_t end = text.find('\n');
  return end == std::string::npos ? std::wstring() : base::Widen(text.substr(end + 1));
}

void CopyTip(const std::wstring& tip, NMTTDISPINFOW& info) {
  size_t n = std::min(tip.size(), kTipLength);
  // Half a surrogate pair shows as garbage: cut before it.
  if (n > 0 && n < tip.size() && IS_HIGH_SURROGATE(tip[n - 1])) --n;
  tip.copy(info.szText, n);
  info.szText[n] = L'\0';
  info.lpszText = info.szText;
}

void CopyTip(const std::wstring& tip, NMTTDISPINFOA& info) {
  std::string bytes;
  if (!tip.empty()) {
    int size = WideCharToMultiByte(CP_ACP, 0, tip.data(), static_cast<int>(tip.size()), nullptr,
                                   0, nullptr, nullptr);
    bytes.resize(static_cast<size_t>(std::max(size, 0)));
    WideCharToMultiByte(CP_ACP, 0, tip.data(), static_cast<int>(tip.size()), bytes.data(), size,
                        nullptr, nullptr);
  }
  // Whole characters only: a double-byte character is not split at the limit.
  size_t n = 0;
  while (n < bytes.size()) {
    size_t step = IsDBCSLeadByte(static_cast<BYTE>(bytes[n])) ? 2 : 1;
    if (n + step > kTipLength) break;
    n += step;
  }
  bytes.copy(info.szText, n);
  info.szText[n] = '\0';
  info.lpszText = info.szText;
}

}  // namespace

int CDownloaderDlg::SelectedTask() {
  HWND list = m_list.Hwnd();
  if (!list) return -1;
  InvalidateRect(list, nullptr, TRUE);
  UpdateWindow(list);
  return m_list.FirstSelected();
}

bool CDownloaderDlg::OnTaskOrToolCommand(UINT id) {
  switch (id) {
    case ID_TASK_RESUME:
    case ID_TASK_PAUSE:
    case ID_TASK_STOP:
    case ID_TASK_DELETE:
    case ID_TASK_OPEN_FILE:
    case ID_TASK_SOURCE_FOLDER:
    case ID_TASK_DEST_FOLDER:
      RunTaskCommand(id);
      return true;
    case ID_ADD_FILES:
      AddFiles(false);
      return true;
    case ID_DOWNLOAD_INTO:
      AddFiles(true);
      return true;
    case ID_OPTIONS:
      ShowOptions();
      return true;
    default:
      return false;
  }
}

void CDownloaderDlg::RunTaskCommand(UINT id) {
  int index = SelectedTask();
  winui::WaitCursor wait;
  CDownloadTask* task = m_kernel.GetTask(index);
  if (!task) return;  // no row selected
  switch (id) {
    case ID_TASK_RESUME:
      m_kernel.ResumeTask(index);
      break;
    case ID_TASK_PAUSE:
      m_kernel.PauseTask(index);
      break;
    case ID_TASK_STOP:
      m_kernel.StopTask(index);
      break;
    case ID_TASK_DELETE:
      m_kernel.DeleteTask(index);
      break;
    case ID_TASK_OPEN_FILE:
      ShellOpen(task->destination);
      break;
    case ID_TASK_SOURCE_FOLDER:
      ShellOpen(FolderOf(task->source));
      break;
    case ID_TASK_DEST_FOLDER:
      ShellOpen(FolderOf(task->destination));
      break;
    default:
      break;
  }
}

void CDownloaderDlg::ShellOpen(const std::string& path) {
  // A folder on a share that has gone away can keep the shell busy for minutes: it
  // opens on a thread of its own, never on the window's. Whatever goes wrong, the
  // shell tells the user itself.
  struct Request {
    HWND owner;
    std::wstring path;
  };
  auto* request = new Request{Hwnd(), base::Widen(path)};
  auto open = [](LPVOID param) -> DWORD {
    std::unique_ptr<Request> request(static_cast<Request*>(param));
    base::ComScope com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ShellExecuteW(request->owner, L"open", request->path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return 0;
  };
  HANDLE thread = CreateThread(nullptr, 0, open, request, 0, nullptr);
  if (thread)
    CloseHandle(thread);
  else
    delete request;
}

void CDownloaderDlg::OnListRightClick() {
  POINT screen;
  if (!GetCursorPos(&screen)) return;
  POINT client = screen;
  ScreenToClient(m_list.Hwnd(), &client);
  int row = m_list.HitTest(client);
  if (row >= 0) ShowTaskMenu(row, screen);
}

bool CDownloaderDlg::OnContextMenu(HWND from, LPARAM at) {
  // A mouse click already had its menu through the list's right-click notice.
  if (from != m_list.Hwnd() || at != -1) return false;
  int row = m_list.FirstSelected();
  if (row < 0) return true;
  RECT r = m_list.ItemRect(row);
  POINT screen{r.left + 16, (r.top + r.bottom) / 2};
  ClientToScreen(m_list.Hwnd(), &screen);
  ShowTaskMenu(row, screen);
  return true;
}

void CDownloaderDlg::ShowTaskMenu(int row, POINT screen) {
  m_list.Select(row);
  CDownloadTask* task = m_kernel.GetTask(row);
  if (!task) return;
  CTaskMenu::Show(Hwnd(), screen, task->GetState());
}

void CDownloaderDlg::AddFiles(bool chooseFolder) {
  std::vector<std::string> files;
  if (!CFileOpenDialog().Run(Hwnd(), files)) return;
  std::string folder;
  if (chooseFolder) {
    folder = s_lastIntoFolder;
    if (!CFolderPicker().PickFolder(folder, Hwnd())) return;
    s_lastIntoFolder = folder;
    // A drive's root comes as "C:\": the kernel puts the backslash before each name.
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  }
  QueueFiles(files, folder);
}

void CDownloaderDlg::ShowOptions() {
  COptionsDialog dialog;
  // The folder the user sets or clears here is where the next files go (or why they
  // ask for one), without a restart.
  dialog.SetFolderHandler([this](const std::string& folder) { m_kernel.SetDefaultFolder(folder); });
  dialog.DoModal(Hwnd());
  ApplyViewOptions();
  RepaintRows();
}

INT_PTR CDownloaderDlg::OnNotify(NMHDR& header) {
  if (header.idFrom == IDC_TASK_LIST && header.hwndFrom == m_list.Hwnd() &&
      header.code == NM_RCLICK) {
    OnListRightClick();
    return SetMessageResult(TRUE);  // the menu was this click's answer
  }
  if (header.code == TTN_GETDISPINFOW || header.code == TTN_GETDISPINFOA)
    return OnToolTipText(header);
  return FALSE;
}

INT_PTR CDownloaderDlg::OnToolTipText(NMHDR& header) {
  bool wide = header.code == TTN_GETDISPINFOW;
  UINT flags = wide ? reinterpret_cast<NMTTDISPINFOW&>(header).uFlags
                    : reinterpret_cast<NMTTDISPINFOA&>(header).uFlags;
  UINT_PTR id = header.idFrom;
  if (flags & TTF_IDISHWND) id = static_cast<UINT_PTR>(GetDlgCtrlID(reinterpret_cast<HWND>(id)));
  std::wstring tip = id ? ToolTipText(static_cast<UINT>(id)) : std::wstring();
  if (wide)
    CopyTip(tip, reinterpret_cast<NMTTDISPINFOW&>(header));
  else
    CopyTip(tip, reinterpret_cast<NMTTDISPINFOA&>(header));
  SetWindowPos(header.hwndFrom, HWND_TOP, 0, 0, 0, 0,
               SWP_NOACTIVATE | SWP_NOMOVE | SWP_NOSIZE | SWP_NOOWNERZORDER);
  return TRUE;
}
