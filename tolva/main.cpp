// Entry point of tolva.exe: the application object does everything.
#include "app/DownloaderApp.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  CDownloaderApp app;
  return app.Run();
}
