// Test support: acts on dialogs from inside their own modal loops. A thread timer
// keeps calling a step until the step reports it is done; at the deadline every dialog
// of the thread is cancelled, so a test fails instead of hanging.
#pragma once

#include <functional>
#include <string>

#include "base/Utf8.h"
#include "base/Win.h"

class TimerDriver {
 public:
  explicit TimerDriver(std::function<bool()> step, DWORD deadlineMs = 20000)
      : step_(std::move(step)), deadline_(GetTickCount() + deadlineMs) {
    current_ = this;
    id_ = SetTimer(nullptr, 0, 10, &TimerDriver::Tick);
  }
  ~TimerDriver() {
    if (id_) KillTimer(nullptr, id_);
    current_ = nullptr;
  }
  TimerDriver(const TimerDriver&) = delete;
  TimerDriver& operator=(const TimerDriver&) = delete;

  bool Done() const { return done_; }
  bool TimedOut() const { return timedOut_; }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    TimerDriver* self = current_;
    if (!self || self->done_ || self->busy_) return;
    self->busy_ = true;  // a step may open a nested modal loop
    if (self->step_()) {
      self->done_ = true;
    } else if (GetTickCount() > self->deadline_) {
      self->timedOut_ = true;
      self->done_ = true;
      EnumThreadWindows(GetCurrentThreadId(), &CancelDialog, 0);
    }
    self->busy_ = false;
  }
  static BOOL CALLBACK CancelDialog(HWND wnd, LPARAM) {
    wchar_t cls[16] = {};
    GetClassNameW(wnd, cls, 16);
    if (std::wstring(cls) == L"#32770") PostMessageW(wnd, WM_COMMAND, IDCANCEL, 0);
    return TRUE;
  }

  static inline TimerDriver* current_ = nullptr;
  std::function<bool()> step_;
  DWORD deadline_;
  UINT_PTR id_ = 0;
  bool done_ = false;
  bool busy_ = false;
  bool timedOut_ = false;
};

// A shown dialog of this thread other than `except`, or null.
inline HWND FindOtherDialog(HWND except) {
  struct Search {
    HWND except;
    HWND found;
  } search{except, nullptr};
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND wnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        wchar_t cls[16] = {};
        GetClassNameW(wnd, cls, 16);
        if (wnd != s->except && IsWindowVisible(wnd) && std::wstring(cls) == L"#32770") {
          s->found = wnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Whether a child window of `parent` shows exactly `text`.
inline bool HasChildText(HWND parent, const std::string& text) {
  struct Search {
    std::wstring text;
    bool found;
  } search{base::Widen(text), false};
  EnumChildWindows(
      parent,
      [](HWND wnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        wchar_t buf[512] = {};
        GetWindowTextW(wnd, buf, 512);
        if (s->text == buf) s->found = true;
        return !s->found;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

inline std::string ControlText(HWND wnd) {
  wchar_t buf[1024] = {};
  GetWindowTextW(wnd, buf, 1024);
  return base::Narrow(buf);
}
