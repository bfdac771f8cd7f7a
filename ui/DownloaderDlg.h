// The program's main window: a resizable dialog with a toolbar and the task list. It
// owns the download kernel and is its observer, mirrors every task into the list and
// the tray tip, and keeps its placement and column widths in the registry.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/KernelHost.h"
#include "ui/AddQueue.h"
#include "ui/OptionsDialog.h"
#include "ui/SystemTray.h"
#include "ui/TaskListCtrl.h"
#include "winui/Dialog.h"
#include "winui/ToolBar.h"

// commctrl.h needs the Windows headers first.
#include <commctrl.h>

// Posted by the window to itself once initialisation is over: start the kernel.
constexpr UINT WM_START_KERNEL = WM_USER + 0x458;

class CDownloaderDlg : public winui::Dialog, public CKernelHost {
 public:
  CDownloaderDlg();
  ~CDownloaderDlg() override;

  // Hands sources and a folder (empty = the default download folder) to the kernel.
  // Many at once go in slices, one per turn of the message loop, after any still
  // waiting: true then, as they are taken (the kernel refuses none for a given folder).
  bool QueueFiles(const std::vector<std::string>& files, const std::string& folder);
  // The tray tip: the title, then one line per task with its progress and state. With
  // `enough`, no line is added once the text is longer than that: the same beginning,
  // without walking every task when only the beginning is shown.
  std::string BuildTrayTip(size_t enough = SIZE_MAX);
  // Default folder and retry period to the kernel, then the view options.
  void ApplyOptions();
  // Speed unit to the kernel and the list, always-on-top; also after the options
  // dialog closes.
  void ApplyViewOptions();
  void ShowAbout();
  // Repaints the list, then gives the first selected row (the task's index), -1 when
  // no row is selected.
  int SelectedTask();
  // Every selected row (task index), in order.
  std::vector<int> SelectedTasks() const;
  // What hovering the row shows: why its task waits; empty while it copies or is done.
  std::string RowTip(int row);

  // The folder chosen by the last "Download into", for the whole run of the program.
  static std::string s_lastIntoFolder;
  // The folder chosen by the last "Add folder", where its browser opens next.
  static std::string s_lastSourceFolder;

  // IKernelObserver. Calls from the kernel's threads only post a message: the window's
  // own thread does the work, and a copying thread never waits for it.
  void OnStart() override;
  void OnTaskReady(int index, CDownloadTask* task) override;
  void OnTasksAdded() override;
  bool OnTasksFound() override;
  void OnTaskSpeed(int index, CDownloadTask* task) override;
  void OnTaskPaused(int index) override;
  void OnTaskCompleted(int index) override;
  void OnTaskDeleted(int index) override;
  bool IsActive() override;
  bool OnError(uint32_t code) override;

  CTaskListCtrl& List() { return m_list; }
  CSystemTray& Tray() { return m_tray; }
  HWND ToolBarHwnd() const { return m_toolBar.Hwnd(); }
  // The kernel was started (initialisation is over).
  bool IsKernelStarted() const { return m_started; }

  COptionsDialog m_options;
  CSystemTray m_tray;
  std::vector<std::string> m_startFiles;
  std::string m_startFolder;

 protected:
  bool OnInitDialog() override;
  INT_PTR HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
  // Menu, tray and toolbar commands; false for commands that are not ours.
  virtual bool OnCommand(UINT id);
  // Notifications of the list and the toolbar (right clicks, tooltips); the dialog
  // procedure's result, FALSE when not handled.
  virtual INT_PTR OnNotify(NMHDR& header);
  // Asks the shell to open a file or a folder, as a double click in the shell would.
  virtual void ShellOpen(const std::string& path);
  // The command on the tasks chosen before a menu or a question, held by identity: the
  // list may change while either is open.
  using TaskRefs = std::vector<std::shared_ptr<CDownloadTask>>;
  void RunTaskCommandOn(UINT id, const TaskRefs& chosen);
  TaskRefs SelectedTaskRefs() const;
  // Delete of several tasks asks once, saying how many files go (only those the tasks
  // made); true to go on.
  virtual bool ConfirmDelete(size_t count, size_t files);
  // Shows the tray's balloon.
  virtual void ShowTrayBalloon(const std::string& title, const std::string& text);
  // Adds the tray icon with the current tip; false when the shell refused it (no
  // notification area yet), and the timer tries again.
  virtual bool AddTrayIcon();
  // Repaints the list at once and brings the tray tip up to date: the work that the
  // kernel's notices cause, done a few times a second however many notices come, in the
  // turn after the rows were brought up to date.
  virtual void RefreshView();

 private:
  // A kernel notice handed to the window's thread; wParam is a Notice.
  static constexpr UINT WM_APP_KERNEL_NOTICE = WM_APP + 1;
  // The next slice of queued sources is due.
  static constexpr UINT WM_APP_ADD_MORE = WM_APP + 2;
  // A coalesced refresh is due: it runs as a turn of its own, not on top of the add or
  // notice that found it due.
  static constexpr UINT WM_APP_REFRESH = WM_APP + 3;
  // The rows were brought up to date: the list's paint and the tip are due.
  static constexpr UINT WM_APP_VIEW = WM_APP + 4;
  // Sources added and shown in one turn: a few tens of milliseconds under Wine.
  static constexpr size_t kFilesPerTurn = 100;
  // What a posted kernel notice carries in its wParam. Changed stands for every change
  // gathered in m_changes since the window last took them.
  enum class Notice : WPARAM { Start, Changed, Deleted, Refresh, Found };
  // What the kernel's notices can change, as bits in m_changes.
  static constexpr unsigned kRowsChanged = 1;    // a task may have no row yet
  static constexpr unsigned kTaskProgress = 2;   // progress, speed or state
  static constexpr unsigned kTaskCompleted = 4;  // a task has completed
  // Set while the refresh timer runs: its tick takes the changes, and reports post no
  // notice (only the end of the last copy does, to be shown at once).
  static constexpr unsigned kHeld = 1u << 31;
  // Repaints and tip changes come at most once in this period while notices keep coming.
  static constexpr UINT_PTR kRefreshTimer = 1;
  static constexpr UINT kRefreshPeriodMs = 250;
  // Rows added below a full view change only the scroll bar, whose redraw under Wine
  // costs about a hundred server calls (a tenth of a second and more while files are
  // copied): the list hears of those at most once in this period.
  static constexpr DWORD kRowCountPeriodMs = 1000;
  // The tip field shows 63 UTF-16 units, and one takes at most 3 bytes of UTF-8.
  static constexpr size_t kTipEnough = 3 * TRAY_TIP_CAPACITY;

  bool OnUiThread() const;
  // Handles a notice at once on the window's thread, else posts it there.
  void Deliver(Notice notice, LPARAM arg);
  bool Post(Notice notice, LPARAM arg);
  void HandleNotice(Notice notice, LPARAM arg);
  // A task notice: handled at once on the window's thread (the user's own command),
  // else gathered with others into one posted notice.
  void Report(unsigned changes);
  void OnChanges(unsigned changes, bool now);
  // On the window's thread: takes the changes reported so far; while the refresh timer
  // runs, the reports after them wait for its tick.
  void TakeChanges();
  // With the refresh timer stopped: reports post again, and one made meanwhile is taken.
  void ReleaseHeldChanges();
  // Something shown changed: refreshes at once after a quiet spell, else when the
  // period is over (at the next notice or tick, whichever comes first).
  void ViewChanged();
  void RefreshNow();
  void OnRefreshTimer();
  bool AnyTaskCopying() const;
  // Once every task in the list has completed: the balloon, unless the window is in
  // front; once per batch (tasks completed since the last one).
  void CheckBatchDone();
  enum class Refresh { Now, Soon };
  // Adds the sources now and gives each new task its row, shown now or with the next
  // coalesced refresh.
  bool AddNow(const std::vector<std::string>& files, const std::string& folder, Refresh refresh);
  // Adds the oldest waiting slice, shown with the next coalesced refresh, and asks for
  // another turn while more wait.
  void AddNextSlice();
  // Rows 0 to count - 1, each with its task's name: row i shows task i.
  void SyncRows(int count);
  void RefreshTip();
  void RepaintRows();
  void LayOutForToolBar();
  void OnSize(int width, int height);
  void OnWindowPosChanging(WINDOWPOS& pos);
  void OnDestroy();

  // Task list menu, task commands, adding files, options, tooltips.
  bool OnTaskOrToolCommand(UINT id);
  void RunTaskCommand(UINT id);
  void OnListRightClick();
  // The keyboard's menu key or Shift+F10 in the list; false when not for the list.
  bool OnContextMenu(HWND from, LPARAM at);
  void ShowTaskMenu(int row, POINT screen);
  void SelectAllRows();
  // The queue-order move a command stands for, if it is one.
  static std::optional<CDownloaderKernel::TaskMove> MoveOf(UINT id);
  // Moves the tasks of these rows; the selection follows them.
  void MoveRows(const std::vector<int>& rows, CDownloaderKernel::TaskMove move);
  void OnRowTip(NMLVGETINFOTIPW& tip);
  // The list asks for a cell's text: it keeps none (readers of the screen ask).
  void OnCellText(LVITEMW& item);
  // The row from `start` on whose name is (or, partial, begins with) the text asked.
  int FindRow(int start, const LVFINDINFOW& find) const;
  void AddFiles(bool chooseFolder);
  void AddFolder();
  void ShowOptions();
  INT_PTR OnToolTipText(NMHDR& header);

  CTaskListCtrl m_list;
  HICON m_hIcon = nullptr;
  winui::ToolBar m_toolBar;

  DWORD m_uiThread = 0;
  std::atomic<bool> m_active{false};
  std::atomic<bool> m_started{false};
  // Changes reported by the kernel's threads and not yet taken; a notice is posted only
  // when this goes from none to some, so one at most waits in the queue, and none
  // while the refresh timer holds them (kHeld).
  std::atomic<unsigned> m_changes{0};
  // What each row shows, beside the control: matching rows to tasks never reads the
  // control back.
  std::vector<std::string> m_rowNames;
  CAddQueue m_addQueue{kFilesPerTurn};
  bool m_addTurnPosted = false;  // a WM_APP_ADD_MORE waits in the queue
  bool m_adding = false;         // inside AddNow (which may show a message box)
  bool m_viewStale = false;      // changed since the last refresh
  bool m_refreshTimerOn = false;
  bool m_refreshPosted = false;  // a WM_APP_REFRESH waits in the queue
  bool m_viewPosted = false;     // a WM_APP_VIEW waits in the queue
  bool m_rowsBehind = false;     // tasks wait for rows below the view
  DWORD m_lastRowCount = 0;      // tick count of the list's last change of row count
  DWORD m_lastRefresh = 0;       // tick count of the last refresh
  bool m_shownCopying = false;   // some task was copying at the last refresh
  // Tasks completed in this run, and how many of them the last balloon told of.
  std::atomic<unsigned> m_completions{0};
  std::atomic<bool> m_foundPosted{false};  // a Found notice is on its way
  unsigned m_completionsAnnounced = 0;
  // Where the kernel's threads post their notices; null once the window is going.
  std::atomic<HWND> m_noticeTarget{nullptr};
};
