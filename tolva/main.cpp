// Entry point of tolva.exe: the application object does everything.
#include "app/DownloaderApp.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int code = 0;
  {
    CDownloaderApp app;
    code = app.Run();
  }
  // Everything is saved and closed by now (the list, the log, the window). Ending here
  // skips the libraries' detach at exit: under load a closed program was seen to hang
  // there for good, its other threads already gone, so it never ended.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  return code;
}
