// A stand-in for tolva.exe, used to exercise the installer while the real program is not
// part of the build. It shows itself the way the uninstaller looks for a running Tolva:
// the named hand-off area and the main window's title. It appends one line to the log
// beside itself once both exist, so a test can wait for it, and ends on WM_CLOSE.
#include "base/Win.h"

namespace {

constexpr wchar_t kAreaName[] = L"{5F474820-9FE0-48df-AD98-224EF79F41B1}";
constexpr wchar_t kTitle[] = L"Tolva - your intranet downloader";

LRESULT CALLBACK StandinProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void AppendStartLine() {
  wchar_t path[MAX_PATH + 8];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  lstrcatW(path, L".log");
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  static const char line[] = "stand-in started\r\n";
  DWORD written = 0;
  WriteFile(file, line, sizeof line - 1, &written, nullptr);
  CloseHandle(file);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  HANDLE area =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0x10000, kAreaName);
  if (!area) return 1;

  WNDCLASSW wc{};
  wc.lpfnWndProc = StandinProc;
  wc.hInstance = instance;
  wc.lpszClassName = L"TolvaStandin";
  RegisterClassW(&wc);
  // A plain top-level window that stays hidden: found by title, closed by WM_CLOSE.
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, kTitle, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                              nullptr, nullptr, instance, nullptr);
  if (!hwnd) {
    CloseHandle(area);
    return 1;
  }
  AppendStartLine();

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  CloseHandle(area);
  return 0;
}
