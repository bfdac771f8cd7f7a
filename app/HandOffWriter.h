// A later start's side of the hand-off: leaves its argument text in the running
// instance's area and wakes that instance's main thread. Later starts that run at once
// take turns, and each waits for the text before it to be taken, so none is lost or
// read twice; every wait is bounded, so a writer never hangs on an instance that died.
#pragma once

#include <functional>
#include <string>

#include "base/Win.h"

class CHandOffWriter {
 public:
  struct Timeouts {
    DWORD openMs = 3000;   // for the area to exist and the post to go through
    DWORD turnMs = 30000;  // for earlier writers to finish
    DWORD readMs = 10000;  // for the running instance to take a text
  };
  using LogFn = std::function<void(const std::string&)>;

  CHandOffWriter(std::wstring areaName, Timeouts timeouts, LogFn log);
  explicit CHandOffWriter(std::wstring areaName) : CHandOffWriter(std::move(areaName), {}, {}) {}

  // Leaves `text` in the area and posts WM_HANDOFF to the thread `firstThread` names
  // (0 while the running instance has not stored it yet), then waits a bounded time for
  // the text to be taken, posting again now and then. True when the text was taken, or
  // when the instance was told and the text is left for it; false when it could not be
  // handed over.
  bool Send(const std::string& text, const std::function<DWORD()>& firstThread);

  // `text` as it fits in the area: unchanged when it fits; otherwise rebuilt with the
  // leading sources that fit and the same folder, so nothing is ever cut mid-path or
  // sent to the wrong folder. Empty when not even one source fits. `cut` tells whether
  // anything was dropped.
  static std::string FitText(const std::string& text, bool& cut);

 private:
  void Log(const std::string& message) const;
  // Waits (bounded) for the area to be free, telling the instance again now and then.
  bool WaitUntilTaken(volatile LONG* state, const std::function<bool()>& tell) const;

  std::wstring areaName_;
  Timeouts timeouts_;
  LogFn log_;
};
