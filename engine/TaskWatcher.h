// The watch thread: once per watch interval it asks for an open of every task that is
// not open (TS_NOTHING): tasks whose source or destination failed to open, whose read
// failed, and paused ones. Opens run on pool threads, so a pass over tasks whose share
// is gone returns at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/Win.h"
#include "engine/TaskTable.h"
#include "engine/WorkerThread.h"

class CCopyLoop;

class CTaskWatcher {
 public:
  // `wake` is the kernel's WatchWakeEvent (set by Stop only).
  CTaskWatcher(CTaskTable& table, CCopyLoop& copier, HANDLE wake, const std::atomic<int>& stopped);
  CTaskWatcher(const CTaskWatcher&) = delete;
  CTaskWatcher& operator=(const CTaskWatcher&) = delete;

  // Used from the next wait on.
  void SetInterval(uint32_t ms) { watchInterval = ms; }

  void Start();
  void Join() { thread_.Join(); }
  bool Running() const { return thread_.Running(); }

 private:
  void WatchLoop();

  CTaskTable& table_;
  CCopyLoop& copier_;
  HANDLE wake_;
  const std::atomic<int>& stopped_;
  std::atomic<uint32_t> watchInterval{5000};
  CWorkerThread thread_;
};
