// Test support: answers the file-open dialog as a user would. It types a folder into
// the file-name field and presses Open to go there, then, once the folder's list shows
// them, types the names ("a.txt" or "b.txt" "a.txt" for several) and presses Open
// again. The classic dialog and the item dialog alike. Call Step() repeatedly (from a
// timer or a wait loop) until it returns true.
#pragma once

#include "base/Win.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dlgs.h>

#include <string>
#include <vector>

#include "base/Utf8.h"
#include "testing/WindowSearch.h"

class FileDialogAnswer {
 public:
  // An empty `names` cancels the dialog.
  FileDialogAnswer(DWORD thread, std::string folder, std::string names)
      : thread_(thread), folder_(std::move(folder)), names_(std::move(names)) {}

  bool Step() {
    if (stage_ == Stage::Find) {
      dialog_ = FindOpenDialog(thread_);
      if (!dialog_) return false;
      HWND field = NameField(dialog_);
      initialName = tolvatest::WindowText(field);
      HWND readOnly = GetDlgItem(dialog_, chx1);
      readOnlyHidden = !readOnly || !IsWindowVisible(readOnly);
      HWND filters = GetDlgItem(dialog_, cmb1);
      filterCount = static_cast<int>(SendMessageW(filters, CB_GETCOUNT, 0, 0));
      wchar_t filter[128]{};
      SendMessageW(filters, CB_GETLBTEXT, SendMessageW(filters, CB_GETCURSEL, 0, 0),
                   reinterpret_cast<LPARAM>(filter));
      filterText = base::Narrow(filter);
      if (names_.empty()) {
        Press(IDCANCEL);
        return true;
      }
      SetWindowTextW(field, base::Widen(folder_).c_str());
      Press(IDOK);
      stage_ = Stage::Navigate;
      return false;
    }
    // Open on a folder shows that folder; once its list shows the names, they are typed.
    if (!ShowsEveryName()) return false;
    SetWindowTextW(NameField(dialog_), base::Widen(names_).c_str());
    Press(IDOK);
    return true;
  }

  // What the dialog showed when it was found.
  std::string initialName;
  bool readOnlyHidden = false;
  int filterCount = 0;
  std::string filterText;

  // The shown file-open dialog of `thread`, or null.
  static HWND FindOpenDialog(DWORD thread) {
    return tolvatest::FirstWindow(
        {.thread = thread, .also = [](HWND w) { return NameField(w) != nullptr; }});
  }

 private:
  enum class Stage { Find, Navigate };

  static HWND NameField(HWND dialog) {
    if (HWND edit = GetDlgItem(dialog, edt1)) return edit;
    // An edit box inside a combo box, itself perhaps inside an extended combo box.
    for (HWND w = GetDlgItem(dialog, cmb13); w; w = GetWindow(w, GW_CHILD)) {
      wchar_t cls[16]{};
      GetClassNameW(w, cls, 16);
      if (_wcsicmp(cls, L"Edit") == 0) return w;
    }
    return nullptr;
  }
  // The names of `names_`: each one in quotes, or the whole text when it has none.
  std::vector<std::wstring> Names() const {
    std::wstring text = base::Widen(names_);
    if (text.find(L'"') == std::wstring::npos) return {text};
    std::vector<std::wstring> names;
    for (size_t open = text.find(L'"'); open != std::wstring::npos;) {
      size_t close = text.find(L'"', open + 1);
      if (close == std::wstring::npos) break;
      names.push_back(text.substr(open + 1, close - open - 1));
      open = text.find(L'"', close + 1);
    }
    return names;
  }
  // Whether the dialog's file list (the shell view's list) shows every name.
  bool ShowsEveryName() const {
    HWND list = nullptr;
    EnumChildWindows(
        dialog_,
        [](HWND w, LPARAM p) -> BOOL {
          wchar_t cls[32]{}, parent[32]{};
          GetClassNameW(w, cls, 32);
          GetClassNameW(GetParent(w), parent, 32);
          if (std::wstring(cls) != L"SysListView32" || std::wstring(parent) != L"SHELLDLL_DefView")
            return TRUE;
          *reinterpret_cast<HWND*>(p) = w;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&list));
    if (!list) return false;
    for (const std::wstring& name : Names()) {
      LVFINDINFOW find{};
      find.flags = LVFI_STRING;
      find.psz = name.c_str();
      if (SendMessageW(list, LVM_FINDITEMW, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(&find)) < 0)
        return false;
    }
    return true;
  }
  void Press(int button) { tolvatest::PressButton(dialog_, button); }

  DWORD thread_;
  std::string folder_;
  std::string names_;
  Stage stage_ = Stage::Find;
  HWND dialog_ = nullptr;
};
