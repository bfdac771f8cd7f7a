// The application object: decides at start whether this process is the running
// instance or a later start, runs the main window in the first and hands the arguments
// over from the second.
#pragma once

#include <memory>

#include "app/DownloaderCommandLineInfo.h"
#include "app/SingleInstance.h"
#include "base/Win.h"
#include "engine/DataFolder.h"

class CDownloaderDlg;

class CDownloaderApp {
 public:
  CDownloaderApp();
  CDownloaderApp(const CDownloaderApp&) = delete;
  CDownloaderApp& operator=(const CDownloaderApp&) = delete;
  ~CDownloaderApp();

  // InitInstance, then ExitInstance: the process's exit code.
  int Run();

  // Either the hand-off (a later start) or the log, OLE, the own arguments and the main
  // window until the user closes it. Always false: the program ends when it returns.
  bool InitInstance();
  int ExitInstance();

  // WM_HANDOFF: queues the sources and folder a later start left in the hand-off area.
  void OnHandOff();

  CDownloaderDlg* MainWindow() const { return m_pMainWnd; }

 private:
  // A text whose message was lost in some other modal loop is picked up here.
  static void CALLBACK HandOffTimer(HWND, UINT, UINT_PTR, DWORD);
  void RunFirstInstance(const CDownloaderCommandLineInfo& commandLine);
  // Decides where the task list and the log are kept and opens the log, once.
  void OpenLog();

  CDataFolder m_dataFolder;  // where the task list and the log are kept
  std::unique_ptr<CSingleInstance> m_instance;
  CDownloaderDlg* m_pMainWnd = nullptr;
  bool m_logOpened = false;
  bool m_oleInitialized = false;
  bool m_inHandOff = false;
  // 1 when the sources of this start reached no window: a later start could not hand
  // them over, or the first instance's window could not be created.
  int m_exitCode = 0;
  UINT_PTR m_handOffTimer = 0;
};
