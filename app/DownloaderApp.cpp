#include "app/DownloaderApp.h"

#include <commctrl.h>
#include <ole2.h>

#include "engine/DataFolder.h"
#include "engine/EventLog.h"
#include "ui/DownloaderDlg.h"
#include "ui/OptionsDialog.h"
#include "winui/MessageWindow.h"

namespace {

constexpr UINT kHandOffCheckMs = 2000;

// The application whose main window runs on this thread; the timer procedure carries
// no pointer of its own.
thread_local CDownloaderApp* t_app = nullptr;

void LogLine(const std::string& message) { g_log.Write(message.c_str()); }

}  // namespace

CDownloaderApp::CDownloaderApp() = default;

CDownloaderApp::~CDownloaderApp() {
  if (t_app == this) t_app = nullptr;
}

int CDownloaderApp::Run() {
  InitInstance();
  return ExitInstance();
}

void CDownloaderApp::OpenLog() {
  if (m_logOpened) return;
  m_logOpened = true;
  m_dataFolder = CDataFolder::ForThisProgram();
  g_log.Open(m_dataFolder.LogPath());
}

bool CDownloaderApp::InitInstance() {
  const wchar_t* commandLine = GetCommandLineW();
  // A later start opens the log only for a line to write there (its hand-off failures
  // go to the running instance's log): where the log goes is decided by making and
  // deleting a file beside the program, which would cost every later start a file
  // created in the server and two searches of that folder.
  m_instance = std::make_unique<CSingleInstance>(
      CSingleInstance::Names(), CHandOffWriter::Timeouts(), [this](const std::string& message) {
        OpenLog();
        LogLine(message);
      });
  if (!m_instance->Start()) {
    // Failures are logged by the writer; a later start shows nothing in any case, but
    // a script that started it learns from the exit code.
    if (!m_instance->HandOff(CDownloaderCommandLineInfo::RawArguments(commandLine))) m_exitCode = 1;
    return false;
  }
  OpenLog();
  // Only the first instance needs OLE (dialogs, the shell, the list file's reader): a
  // later start that only hands its files over ends sooner without it.
  m_oleInitialized = SUCCEEDED(OleInitialize(nullptr));
  // Parsed only here: the splitter is the shell's, a library a later start does not load.
  RunFirstInstance(CDownloaderCommandLineInfo::FromCommandLine(commandLine));
  return false;
}

void CDownloaderApp::RunFirstInstance(const CDownloaderCommandLineInfo& commandLine) {
  if (!m_dataFolder.BesideProgram())
    LogLine("The program's folder cannot be written: the task list and the log are kept in " +
            m_dataFolder.Folder() + ".");
  if (std::string downloads; COptionsDialog::StoreDownloadsFolderIfNeverSet(downloads))
    LogLine("First run: files go to the Downloads folder, " + downloads +
            ", until another default download folder is set in Options.");

  INITCOMMONCONTROLSEX controls{sizeof(controls),
                                ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);

  auto window = std::make_unique<CDownloaderDlg>();
  window->m_startFiles = commandLine.m_files;
  window->m_startFolder = commandLine.m_folder;
  window->Kernel().SetListPath(m_dataFolder.ListPath());
  m_pMainWnd = window.get();

  t_app = this;
  // Later starts are announced to a window of this thread: the dialog's loop and those of
  // its message boxes would drop a thread message.
  winui::MessageWindow handOffWindow(WM_HANDOFF, [this] { OnHandOff(); });
  if (handOffWindow.Create()) {
    m_instance->NotifyWindow(handOffWindow.Hwnd());
    PostMessageW(handOffWindow.Hwnd(), WM_HANDOFF, 0, 0);  // for texts taken before now
  } else {
    LogLine("Hand-off: no window to tell; later starts are read every 2 s.");
  }
  m_handOffTimer = SetTimer(nullptr, 0, kHandOffCheckMs, HandOffTimer);

  if (window->DoModal() == -1) {
    // Its own files were to be queued by the window: a script that started it learns
    // from the exit code that they were not.
    LogLine("The main window cannot be created" +
            (commandLine.m_files.empty() ? std::string(".")
                                         : "; the " + std::to_string(commandLine.m_files.size()) +
                                               " source(s) of this start are not added."));
    if (!commandLine.m_files.empty()) m_exitCode = 1;
  }

  if (m_handOffTimer) KillTimer(nullptr, m_handOffTimer);
  m_handOffTimer = 0;
  m_instance->NotifyWindow(nullptr);
  handOffWindow.Destroy();
  t_app = nullptr;

  // The area goes before the count, so that a start from now on cannot hand over to a
  // window that is gone.
  m_instance->Finish();
  m_pMainWnd = nullptr;
  window.reset();
}

int CDownloaderApp::ExitInstance() {
  m_instance.reset();
  if (m_oleInitialized) OleUninitialize();
  m_oleInitialized = false;
  return m_exitCode;
}

void CDownloaderApp::OnHandOff() {
  // A message box shown while queuing runs its own loop: a text taken meanwhile waits,
  // in order, until the batch before it is queued.
  if (!m_instance || !m_pMainWnd || m_inHandOff) return;
  m_inHandOff = true;
  m_instance->OnHandOff([this](const std::vector<std::string>& files, const std::string& folder) {
    m_pMainWnd->QueueFiles(files, folder);
  });
  m_inHandOff = false;
}

void CALLBACK CDownloaderApp::HandOffTimer(HWND, UINT, UINT_PTR, DWORD) {
  if (t_app) t_app->OnHandOff();
}
