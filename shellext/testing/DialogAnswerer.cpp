#include "shellext/testing/DialogAnswerer.h"

#include <shlobj.h>

namespace comtest {
namespace {

BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
  wchar_t cls[32] = {};
  GetClassNameW(window, cls, 32);
  if (std::wstring(cls) == L"#32770" && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK CollectText(HWND child, LPARAM texts) {
  wchar_t text[256] = {};
  GetWindowTextW(child, text, 256);
  if (text[0]) *reinterpret_cast<std::wstring*>(texts) += std::wstring(text) + L"|";
  return TRUE;
}

}  // namespace

DialogAnswerer::DialogAnswerer(std::wstring folder)
    : owner_(GetCurrentThreadId()), folder_(std::move(folder)), thread_([this] { Run(); }) {}

DialogAnswerer::~DialogAnswerer() {
  stop_ = true;
  thread_.join();
}

void DialogAnswerer::Run() {
  const DWORD deadline = GetTickCount() + 30000;
  while (!stop_ && static_cast<LONG>(deadline - GetTickCount()) > 0) {
    HWND dialog = nullptr;
    EnumThreadWindows(owner_, FindDialog, reinterpret_cast<LPARAM>(&dialog));
    if (!dialog) {
      Sleep(20);
      continue;
    }
    EnumChildWindows(dialog, CollectText, reinterpret_cast<LPARAM>(&texts_));
    if (folder_.empty()) {
      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
    } else {
      SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(folder_.c_str()));
      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    }
    answered_ = true;
    return;
  }
}

}  // namespace comtest
