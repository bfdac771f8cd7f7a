#include "shellext/testing/DialogAnswerer.h"

#include <shlobj.h>

#include "testing/Testing.h"

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

// What the tree shows for `folder`: its last name, or "C:" for the root C:\.
std::wstring LeafName(const std::wstring& folder) {
  if (folder.size() <= 3) return folder.substr(0, 2);
  return folder.substr(folder.find_last_of(L'\\') + 1);
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
  while (!stop_) {
    const bool late = static_cast<LONG>(deadline - GetTickCount()) <= 0;
    HWND dialog = nullptr;
    EnumThreadWindows(owner_, FindDialog, reinterpret_cast<LPARAM>(&dialog));
    if (!dialog) {
      if (late) return;
      Sleep(20);
      continue;
    }
    texts_.clear();
    EnumChildWindows(dialog, CollectText, reinterpret_cast<LPARAM>(&texts_));
    bool ok = false;
    if (!folder_.empty() && !late) {
      // The tree may still be filling: select until it shows the folder.
      SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(folder_.c_str()));
      if (tolvatest::SelectedTreeItem(dialog).find(LeafName(folder_)) == std::wstring::npos) {
        Sleep(20);
        continue;
      }
      ok = true;
    }
    // Past the deadline the dialog is cancelled all the same, so the test cannot hang.
    const int button = ok ? IDOK : IDCANCEL;
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
    answered_ = ok || folder_.empty();
    return;
  }
}

}  // namespace comtest
