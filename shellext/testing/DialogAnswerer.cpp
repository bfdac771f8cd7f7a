#include "shellext/testing/DialogAnswerer.h"

#include "base/Utf8.h"
#include "testing/WindowSearch.h"

namespace comtest {

DialogAnswerer::DialogAnswerer(std::wstring folder)
    : folder_(std::move(folder)), driver_([this] { return Step(); }, 30000) {}

bool DialogAnswerer::Step() {
  HWND dialog = tolvatest::FirstWindow({.thread = GetCurrentThreadId()});
  if (!dialog) return false;
  texts_ = base::Widen(tolvatest::ChildTexts(dialog));
  // The tree may still be filling: the next tick asks again.
  if (!folder_.empty() && !tolvatest::BrowserShows(dialog, folder_, true)) return false;
  tolvatest::PressButton(dialog, folder_.empty() ? IDCANCEL : IDOK);
  answered_ = true;
  return true;
}

}  // namespace comtest
