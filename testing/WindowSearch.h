// What the window tests of every folder share to find and answer the windows a program
// shows: one search over a thread's or a process's top-level windows, and the few
// things a user does to a dialog found that way.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/Win.h"

namespace tolvatest {

// The window classes of a dialog box and of a pop-up menu.
inline constexpr wchar_t kDialogClass[] = L"#32770";
inline constexpr wchar_t kMenuClass[] = L"#32768";

// Which top-level windows a search takes.
struct WindowQuery {
  DWORD thread = 0;                         // only this thread's windows (0: any thread)
  DWORD process = 0;                        // only this process's windows (0: any process)
  const wchar_t* className = kDialogClass;  // null: any class
  std::optional<std::wstring> caption = std::nullopt;  // the whole title, when given
  HWND except = nullptr;
  bool shownOnly = true;
  std::function<bool(HWND)> also = nullptr;  // one more test, when given
};

// The windows the query takes, in the system's order (the front one first).
std::vector<HWND> FindWindows(const WindowQuery& query);
// The first of them, or null.
HWND FirstWindow(const WindowQuery& query);

// Asks every dialog of `thread` but `except` to cancel, shown or not, and closes its
// pop-up menus, so that a thread waiting in them comes back.
void CancelDialogs(DWORD thread, HWND except = nullptr);
// Presses a button of `dialog` as a click does (posted: the dialog may be modal).
void PressButton(HWND dialog, int button);

std::string WindowText(HWND window);
// Whether a child window of `parent` shows exactly `text`.
bool HasChildText(HWND parent, const std::string& text);
// The non-empty texts of the child windows of `parent`, each followed by '|'.
std::string ChildTexts(HWND parent);

// Whether `dialog` is the shell's folder browser (it holds a folder tree).
bool IsFolderBrowser(HWND dialog);
// Whether the browser's tree has `folder` selected: its last name, or its drive ("C:")
// for a drive's root. With `select`, it asks the browser to select the folder first (the
// tree may still be filling, so ask again until it shows).
bool BrowserShows(HWND browser, const std::wstring& folder, bool select);

}  // namespace tolvatest
