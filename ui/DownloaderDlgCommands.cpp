// The main window's commands: the task list's context menu and its seven task
// commands, adding files with the file dialogs, the options dialog, and the toolbar's
// tooltips.
#include "ui/DownloaderDlg.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "resources/resource.h"
#include "ui/FileOpenDialog.h"
#include "ui/FolderPicker.h"
#include "ui/TaskMenu.h"
#include "winui/StringResource.h"
#include "base/ComScope.h"
#include "base/Utf8.h"
#include "winui/WaitCursor.h"

std::string CDownloaderDlg::s_lastIntoFolder;
std::string CDownloaderDlg::s_lastSourceFolder;

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
    int size = WideCharToMultiByte(CP_ACP, 0, tip.data(), static_cast<int>(tip.size()), nullptr, 0,
                                   nullptr, nullptr);
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

// Into a control's buffer of `room` characters, cut to fit and always ended.
void CopyInto(const std::string& utf8, wchar_t* buffer, int room) {
  if (!buffer || room <= 0) return;
  std::wstring text = base::Widen(utf8);
  size_t n = std::min(text.size(), static_cast<size_t>(room - 1));
  text.copy(buffer, n);
  buffer[n] = L'\0';
}

}  // namespace

int CDownloaderDlg::SelectedTask() {
  HWND list = m_list.Hwnd();
  if (!list) return -1;
  InvalidateRect(list, nullptr, TRUE);
  UpdateWindow(list);
  return m_list.FirstSelected();
}

std::vector<int> CDownloaderDlg::SelectedTasks() const { return m_list.SelectedRows(); }

bool CDownloaderDlg::OnTaskOrToolCommand(UINT id) {
  switch (id) {
    case ID_TASK_RESUME:
    case ID_TASK_PAUSE:
    case ID_TASK_STOP:
    case ID_TASK_DELETE:
    case ID_TASK_REMOVE:
    case ID_TASK_OPEN_FILE:
    case ID_TASK_SOURCE_FOLDER:
    case ID_TASK_DEST_FOLDER:
    case ID_TASK_MOVE_TOP:
    case ID_TASK_MOVE_BOTTOM:
    case ID_TASK_MOVE_UP:
    case ID_TASK_MOVE_DOWN:
      RunTaskCommand(id);
      return true;
    case ID_ADD_FILES:
      AddFiles(false);
      return true;
    case ID_ADD_FOLDER:
      AddFolder();
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

CDownloaderDlg::TaskRefs CDownloaderDlg::SelectedTaskRefs() const {
  TaskRefs chosen;
  for (int row : SelectedTasks())
    if (auto task = m_kernel.TaskRef(row)) chosen.push_back(std::move(task));
  return chosen;
}

void CDownloaderDlg::RunTaskCommand(UINT id) {
  SelectedTask();  // the list shows the states the command goes by
  RunTaskCommandOn(id, SelectedTaskRefs());
}

void CDownloaderDlg::RunTaskCommandOn(UINT id, const TaskRefs& chosen) {
  winui::WaitCursor wait;
  if (chosen.empty()) return;  // no row selected
  const CDownloadTask& first = *chosen.front();
  switch (id) {
    case ID_TASK_OPEN_FILE:
      ShellOpen(first.Destination());
      return;
    case ID_TASK_SOURCE_FOLDER:
      ShellOpen(FolderOf(first.source));
      return;
    case ID_TASK_DEST_FOLDER:
      ShellOpen(FolderOf(first.Destination()));
      return;
    default:
      break;
  }
  if (id == ID_TASK_DELETE && chosen.size() > 1) {
    size_t files = 0;
    for (const auto& task : chosen) files += task->madeFile ? 1 : 0;
    if (!ConfirmDelete(chosen.size(), files)) return;
  }
  // Where each chosen task is now: the question, like a menu, lets the list change
  // (a folder's files arrive, its own row goes), and a task that has gone is skipped.
  std::unordered_map<const CDownloadTask*, int> rowOf;
  for (int i = 0, n = m_kernel.GetTaskCount(); i < n; ++i) rowOf.emplace(m_kernel.GetTask(i), i);
  std::vector<int> rows;
  std::unordered_set<int> taken;
  for (const auto& task : chosen) {
    auto found = rowOf.find(task.get());
    // A task chosen twice is still one task: deleting its row twice would take its
    // neighbour, which moved up into that row.
    if (found != rowOf.end() && taken.insert(found->second).second) rows.push_back(found->second);
  }
  if (const auto move = MoveOf(id)) {
    MoveRows(rows, *move);
    return;
  }
  if (id == ID_TASK_DELETE || id == ID_TASK_REMOVE) {
    // From the last up: a removal moves every later task down by one.
    std::sort(rows.rbegin(), rows.rend());
    for (int row : rows) m_kernel.DeleteTask(row, id == ID_TASK_DELETE);
    return;
  }
  for (int row : rows) {
    CDownloadTask* each = CDownloadTask::Checked(m_kernel.GetTask(row));
    // Each task only where its state allows the command, as its own menu would.
    if (!each || !CTaskMenu::Allows(each->GetState(), id)) continue;
    if (id == ID_TASK_RESUME)
      m_kernel.ResumeTask(row);
    else if (id == ID_TASK_PAUSE)
      m_kernel.PauseTask(row);
    else if (id == ID_TASK_STOP)
      m_kernel.StopTask(row);
  }
}

std::optional<CDownloaderKernel::TaskMove> CDownloaderDlg::MoveOf(UINT id) {
  using Move = CDownloaderKernel::TaskMove;
  switch (id) {
    case ID_TASK_MOVE_TOP:
      return Move::Top;
    case ID_TASK_MOVE_BOTTOM:
      return Move::Bottom;
    case ID_TASK_MOVE_UP:
      return Move::Up;
    case ID_TASK_MOVE_DOWN:
      return Move::Down;
    default:
      return std::nullopt;
  }
}

void CDownloaderDlg::MoveRows(const std::vector<int>& rows, CDownloaderKernel::TaskMove move) {
  const std::vector<int> placed = m_kernel.MoveTasks(rows, move);
  if (placed.empty()) return;
  // Row i shows task i again, and the selection goes with the tasks it held.
  RefreshNow();
  m_list.SelectAll(false);
  for (int row : placed) m_list.Select(row);
  m_list.EnsureVisible(move == CDownloaderKernel::TaskMove::Down ||
                               move == CDownloaderKernel::TaskMove::Bottom
                           ? placed.back()
                           : placed.front());
  RepaintRows();
}

bool CDownloaderDlg::ConfirmDelete(size_t count, size_t files) {
  // Only files the tasks made go; those that were there before stay.
  std::string text = "Delete " + std::to_string(count) + " tasks?\n\n" +
                     (files == 0   ? std::string("No file will be deleted from disk.")
                      : files == 1 ? std::string("1 file will be deleted from disk.")
                                   : std::to_string(files) + " files will be deleted from disk.");
  return MessageBoxW(Hwnd(), base::Widen(text).c_str(), L"Tolva",
                     MB_ICONQUESTION | MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

void CDownloaderDlg::SelectAllRows() { m_list.SelectAll(true); }

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
  // A click inside the selection keeps it; outside, the clicked row alone is chosen.
  if (!m_list.IsSelected(row)) m_list.SelectAll(false);
  m_list.Select(row);
  // Held by identity while the menu is open: rows may move under it.
  const TaskRefs chosen = SelectedTaskRefs();
  std::vector<int> states;
  for (const auto& task : chosen) states.push_back(task->GetState());
  if (states.empty()) return;
  if (UINT command = CTaskMenu::Show(Hwnd(), screen, states)) RunTaskCommandOn(command, chosen);
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

void CDownloaderDlg::AddFolder() {
  // The file dialog picks files only; a folder comes from the browser, and its whole
  // tree goes to the default folder as from any other source.
  std::string folder = s_lastSourceFolder;
  if (!CFolderPicker().PickFolder(folder, Hwnd(), CFolderPicker::kSourceTitle)) return;
  s_lastSourceFolder = folder;
  QueueFiles({folder}, "");
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
  if (header.idFrom == IDC_TASK_LIST && header.hwndFrom == m_list.Hwnd()) {
    switch (header.code) {
      case NM_RCLICK:
        OnListRightClick();
        return SetMessageResult(TRUE);  // the menu was this click's answer
      case NM_DBLCLK:
        if (reinterpret_cast<NMITEMACTIVATE&>(header).iItem >= 0) RunTaskCommand(ID_TASK_OPEN_FILE);
        return TRUE;
      case LVN_KEYDOWN: {
        WORD key = reinterpret_cast<NMLVKEYDOWN&>(header).wVKey;
        if (key == VK_DELETE) RunTaskCommand(ID_TASK_DELETE);
        if (key == 'A' && (GetKeyState(VK_CONTROL) & 0x8000)) SelectAllRows();
        return TRUE;
      }
      case LVN_GETINFOTIPW:
        OnRowTip(reinterpret_cast<NMLVGETINFOTIPW&>(header));
        return TRUE;
      case LVN_GETDISPINFOW:
        OnCellText(reinterpret_cast<NMLVDISPINFOW&>(header).item);
        return TRUE;
      case LVN_ODFINDITEMW: {
        auto& find = reinterpret_cast<NMLVFINDITEMW&>(header);
        return SetMessageResult(FindRow(find.iStart, find.lvfi));
      }
      default:
        break;
    }
  }
  if (header.code == TTN_GETDISPINFOW || header.code == TTN_GETDISPINFOA)
    return OnToolTipText(header);
  return FALSE;
}

void CDownloaderDlg::OnCellText(LVITEMW& item) {
  if (!(item.mask & LVIF_TEXT)) return;
  CDownloadTask* task = CDownloadTask::Checked(m_kernel.GetTask(item.iItem));
  CopyInto(task ? m_list.CellText(*task, item.iSubItem) : std::string(), item.pszText,
           item.cchTextMax);
}

int CDownloaderDlg::FindRow(int start, const LVFINDINFOW& find) const {
  // Typing in the list finds the next row whose name begins so, as in any list.
  if (!(find.flags & (LVFI_STRING | LVFI_PARTIAL)) || !find.psz) return -1;
  const std::wstring wanted = find.psz;
  const int rows = static_cast<int>(m_rowNames.size());
  if (rows == 0 || wanted.empty()) return -1;
  const bool partial = (find.flags & LVFI_PARTIAL) != 0;
  start = start < 0 || start >= rows ? 0 : start;
  const int looks = (find.flags & LVFI_WRAP) ? rows : rows - start;
  for (int k = 0; k < looks; ++k) {
    const int row = (start + k) % rows;
    std::wstring name = base::Widen(m_rowNames[static_cast<size_t>(row)]);
    if (partial && name.size() > wanted.size()) name.resize(wanted.size());
    if (CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, name.c_str(), -1, wanted.c_str(),
                       -1) == CSTR_EQUAL)
      return row;
  }
  return -1;
}

void CDownloaderDlg::OnRowTip(NMLVGETINFOTIPW& tip) {
  CopyInto(RowTip(tip.iItem), tip.pszText, tip.cchTextMax);
}

std::string CDownloaderDlg::RowTip(int row) {
  CDownloadTask* task = CDownloadTask::Checked(m_kernel.GetTask(row));
  if (!task) return {};
  int state = task->GetState();
  // A copying task needs no explanation; a completed one says whether it was verified.
  if (state == TS_READY || state == TS_DOWNLOADED) return {};
  std::string reason = task->WaitReason();
  if (state == TS_COMPLETED) return reason;
  return reason.empty() ? "Waiting to open the files" : reason;
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
