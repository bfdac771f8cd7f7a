// A later start's side of the hand-off: leaves its argument text in the running
// instance's area and wakes that instance. Later starts that run at once take turns, and
// each waits for the text before it to be taken, so none is lost, replaced or read
// twice. Every wait is bounded by one limit for the whole hand-off.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/Win.h"

class CHandOffWriter {
 public:
  struct Timeouts {
    DWORD limitMs = 60000;  // for the whole hand-off, from the start of Send
  };
  using LogFn = std::function<void(const std::string&)>;

  enum class Outcome {
    kTaken,         // the running instance has the text
    kFailed,        // not handed over within the limit (logged)
    kInstanceGone,  // the running instance is closing or has ended: start anew
  };

  CHandOffWriter(std::wstring areaName, Timeouts timeouts, LogFn log);
  explicit CHandOffWriter(std::wstring areaName) : CHandOffWriter(std::move(areaName), {}, {}) {}

  // Leaves `text` in the area, as several texts when it does not fit in one, tells the
  // thread `firstThread` names (0 while the running instance has not stored it yet)
  // and waits until the running instance has taken it. `firstGone` says whether that
  // instance is closing or has ended; then `unsent` gets what it has not taken, as
  // one text.
  Outcome Send(const std::string& text, const std::function<DWORD()>& firstThread,
               const std::function<bool()>& firstGone = {}, std::string* unsent = nullptr);

  // `text` as texts that each fit in the area: itself when it fits; otherwise its
  // sources in order, as many to a text as fit, each text with the same folder, so
  // nothing is cut mid-path or sent to the wrong folder. `dropped` counts the sources
  // too long to fit even alone.
  static std::vector<std::string> SplitText(const std::string& text, size_t& dropped);

 private:
  enum class Wait { kDone, kGone, kTimeout };
  void Log(const std::string& message) const;
  // Looks at `done` until it holds, the running instance is gone or the limit passes,
  // telling the instance again now and then when `tell` is given. Between looks it
  // sleeps on `wake` (set when `done` may have come true) or, without one, a few ms.
  Wait WaitFor(const std::function<bool()>& done, const std::function<bool()>& gone,
               const std::function<void()>& tell = {}, HANDLE wake = nullptr) const;
  // What a wait that did not end in kDone makes of the hand-off.
  static Outcome GiveUp(Wait wait, const std::string& text, std::string* unsent);
  bool Expired() const;

  std::wstring areaName_;
  Timeouts timeouts_;
  LogFn log_;
  ULONGLONG start_ = 0;
};
