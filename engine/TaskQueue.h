// How many tasks copy at once. With a limit, a task that is due to open waits for its
// turn instead (not opened, so it holds no handle on its server); as copies end, the
// waiting tasks start in list order, those the user resumed first. Without a limit
// every task opens at once.
//
// All of it with the task table held alone, except the limit itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/Win.h"
#include "engine/TaskTable.h"

class CTaskQueue {
 public:
  // What a waiting task's row says.
  static constexpr char kWaitingReason[] = "Waiting for its turn";

  // `wake` is the kernel's WorkEvent: the downloader thread starts the waiting tasks.
  explicit CTaskQueue(HANDLE wake) : wake_(wake) {}
  CTaskQueue(const CTaskQueue&) = delete;
  CTaskQueue& operator=(const CTaskQueue&) = delete;

  // 0: all at once. Raising it starts waiting tasks at once; lowering it lets the
  // copies under way finish.
  void SetLimit(int limit);
  int Limit() const { return limit_; }

  // Whether `task`, due to open, may open now. If not it is marked waiting (its row
  // says why) and stays closed until its turn.
  bool Admit(CTaskTable::Writer& rows, CDownloadTask& task);
  // The user's Resume: the task goes before every task waiting now.
  void ToFront(CTaskTable::Writer& rows, CDownloadTask& task);
  // The task opens, or is closed (paused, stopped, done, deleted): it waits no more,
  // and a place it held is free.
  void Left(CDownloadTask& task);
  // The waiting tasks whose turn has come, in the order they are to open.
  std::vector<CTaskTable::TaskPtr> Due(CTaskTable::Writer& rows);
  // A copy may have ended or an open failed: with a limit, the downloader thread looks
  // at the queue.
  void Wake() const;

  // Whether the task holds a place: it is opening, open or copying.
  static bool Holds(const CDownloadTask& task);

 private:
  // Places held by tasks other than `except`.
  static int Held(const CTaskTable::Rows& rows, const CDownloadTask* except);
  // Whether `a` goes before `b`: resumed first (the latest Resume ahead), then list order.
  static bool Before(const CDownloadTask& a, int indexA, const CDownloadTask& b, int indexB);

  HANDLE wake_;
  std::atomic<int> limit_{0};
  int64_t lastFront_ = 0;  // ranks given by ToFront count down from here
};
