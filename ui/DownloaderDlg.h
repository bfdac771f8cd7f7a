// The program's main window: a resizable dialog with a toolbar and the task list. It
// owns the download kernel and is its observer, mirrors every task into the list and
// the tray tip, and keeps its placement and column widths in the registry.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "engine/KernelHost.h"
#include "ui/OptionsDialog.h"
#include "ui/SystemTray.h"
#include "ui/TaskListCtrl.h"
#include "winui/Dialog.h"
#include "winui/ToolBar.h"

// Posted by the window to itself once initialisation is over: start the kernel.
constexpr UINT WM_START_KERNEL = WM_USER + 0x458;

class CDownloaderDlg : public winui::Dialog, public CKernelHost {
 public:
  CDownloaderDlg();
  ~CDownloaderDlg() override;

  // Hands sources and a folder (empty = the default download folder) to the kernel.
  bool QueueFiles(const std::vector<std::string>& files, const std::string& folder);
  // The tray tip: the title, then one line per task with its progress and state.
  std::string BuildTrayTip();
  // Default folder and retry period to the kernel, then the view options.
  void ApplyOptions();
  // Speed unit to the kernel and the list, always-on-top; also after the options
  // dialog closes.
  void ApplyViewOptions();
  void ShowAbout();

  // IKernelObserver. Calls from the kernel's threads only post a message: the window's
  // own thread does the work, and a worker holding the kernel lock never waits for it.
  void OnStart() override;
  void OnTaskReady(int index, CDownloadTask* task) override;
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
  virtual INT_PTR OnNotify(const NMHDR& header);
  // Adds the tray icon with the current tip; false when the shell refused it (no
  // notification area yet), and the timer tries again.
  virtual bool AddTrayIcon();

 private:
  // A kernel notice handed to the window's thread; wParam is a Notice.
  static constexpr UINT WM_APP_KERNEL_NOTICE = WM_APP + 1;
  // What a posted kernel notice carries in its wParam.
  enum class Notice : WPARAM { Start, Ready, Speed, Paused, Completed, Deleted, Refresh, Repaint };

  bool OnUiThread() const;
  // Handles a notice at once on the window's thread, else posts it there.
  void Deliver(Notice notice, LPARAM arg);
  void Post(Notice notice, LPARAM arg);
  void HandleNotice(Notice notice, LPARAM arg);
  // Rows 0 to count - 1, each with its task's name: row i shows task i.
  void SyncRows(int count);
  void RefreshTip();
  void RepaintRows();
  void LayOutForToolBar();
  void OnSize(int width, int height);
  void OnWindowPosChanging(WINDOWPOS& pos);
  void OnDestroy();

  CTaskListCtrl m_list;
  HICON m_hIcon = nullptr;
  winui::ToolBar m_toolBar;

  DWORD m_uiThread = 0;
  std::atomic<bool> m_active{false};
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_repaintQueued{false};
  // Where the kernel's threads post their notices; null once the window is going.
  std::atomic<HWND> m_noticeTarget{nullptr};
};
