#include "testing/WindowSearch.h"

#include <shlobj.h>

#include "base/Utf8.h"
#include "testing/Testing.h"

namespace tolvatest {
namespace {

std::wstring ClassName(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

std::wstring WideText(HWND window) {
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  return text;
}

bool Takes(const WindowQuery& query, HWND window) {
  if (window == query.except) return false;
  if (query.shownOnly && !IsWindowVisible(window)) return false;
  if (query.process) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != query.process) return false;
  }
  if (query.className && ClassName(window) != query.className) return false;
  if (query.caption && WideText(window) != *query.caption) return false;
  return !query.also || query.also(window);
}

struct Search {
  const WindowQuery& query;
  std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  if (Takes(search->query, window)) search->found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> FindWindows(const WindowQuery& query) {
  Search search{query, {}};
  if (query.thread)
    EnumThreadWindows(query.thread, &Collect, reinterpret_cast<LPARAM>(&search));
  else
    EnumWindows(&Collect, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FirstWindow(const WindowQuery& query) {
  std::vector<HWND> found = FindWindows(query);
  return found.empty() ? nullptr : found.front();
}

void CancelDialogs(DWORD thread, HWND except) {
  for (HWND dialog : FindWindows({.thread = thread, .except = except, .shownOnly = false}))
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  for (HWND menu : FindWindows({.thread = thread, .className = kMenuClass, .shownOnly = false}))
    PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
}

void PressButton(HWND dialog, int button) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

std::string WindowText(HWND window) { return base::Narrow(WideText(window)); }

bool HasChildText(HWND parent, const std::string& text) {
  struct Match {
    std::wstring text;
    bool found;
  } match{base::Widen(text), false};
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM param) -> BOOL {
        auto* m = reinterpret_cast<Match*>(param);
        m->found = WideText(child) == m->text;
        return !m->found;
      },
      reinterpret_cast<LPARAM>(&match));
  return match.found;
}

std::string ChildTexts(HWND parent) {
  std::string texts;
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM param) -> BOOL {
        const std::string text = WindowText(child);
        if (!text.empty()) *reinterpret_cast<std::string*>(param) += text + "|";
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&texts));
  return texts;
}

bool IsFolderBrowser(HWND dialog) {
  return FindWindowExW(dialog, nullptr, L"SysTreeView32", nullptr) != nullptr;
}

bool BrowserShows(HWND browser, const std::wstring& folder, bool select) {
  if (select)
    SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(folder.c_str()));
  const std::wstring shown = SelectedTreeItem(browser);
  // A drive's item reads like "Local Disk (C:)".
  if (folder.size() <= 3)
    return !shown.empty() && shown.find(folder.substr(0, 2)) != std::wstring::npos;
  const std::wstring leaf = folder.substr(folder.find_last_of(L'\\') + 1);
  return _wcsicmp(shown.c_str(), leaf.c_str()) == 0;
}

}  // namespace tolvatest
