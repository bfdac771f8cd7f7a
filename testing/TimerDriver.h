// Acts on dialogs from inside their own modal loops, on the thread that shows them: a
// thread timer keeps calling a step until the step reports it is done; at the deadline
// every dialog of the thread is cancelled, so a test fails instead of hanging.
#pragma once

#include <functional>

#include "base/Win.h"
#include "testing/WindowSearch.h"

namespace tolvatest {

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
      CancelDialogs(GetCurrentThreadId());
    }
    self->busy_ = false;
  }

  static inline TimerDriver* current_ = nullptr;
  std::function<bool()> step_;
  DWORD deadline_;
  UINT_PTR id_ = 0;
  bool done_ = false;
  bool busy_ = false;
  bool timedOut_ = false;
};

}  // namespace tolvatest
