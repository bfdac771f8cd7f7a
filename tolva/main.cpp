// Entry point of tolva.exe: the log, OLE, and the main window run modally until the
// user closes it.
#include "winui/Win.h"

#include <commctrl.h>
#include <ole2.h>

#include "engine/EventLog.h"
#include "ui/DownloaderDlg.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  g_log.Open();
  HRESULT ole = OleInitialize(nullptr);
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  {
    CDownloaderDlg window;
    window.DoModal();
  }
  if (SUCCEEDED(ole)) OleUninitialize();
  return 0;
}
