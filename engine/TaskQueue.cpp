#include "engine/TaskQueue.h"

#include <algorithm>

bool CTaskQueue::Holds(const CDownloadTask& task) {
  const int state = task.state;
  return state == TS_READY || state == TS_DOWNLOADED || task.read || task.destinationHandle ||
         (task.openPending && task.openGeneration == task.generation);
}

int CTaskQueue::Held(const CTaskTable::Rows& rows, const CDownloadTask* except) {
  int held = 0;
  for (const auto& task : rows.Tasks())
    if (task.get() != except && Holds(*task)) ++held;
  return held;
}

bool CTaskQueue::Before(const CDownloadTask& a, int indexA, const CDownloadTask& b, int indexB) {
  if (a.queueRank != b.queueRank) return a.queueRank < b.queueRank;
  return indexA < indexB;
}

void CTaskQueue::SetLimit(int limit) {
  limit_ = limit < 0 ? 0 : limit;
  // Lifted or raised: tasks waiting now may start.
  if (wake_) SetEvent(wake_);
}

bool CTaskQueue::Admit(CTaskTable::Writer& rows, CDownloadTask& task) {
  const int limit = limit_;
  if (limit == 0 || Holds(task)) {
    Left(task);
    return true;
  }
  // A free place goes to the task that waited before this one, if any.
  int free = limit - Held(*rows, &task);
  if (free > 0) {
    const int index = rows->IndexOf(&task);
    int ahead = 0;
    const auto& tasks = rows->Tasks();
    for (int i = 0; i < static_cast<int>(tasks.size()) && ahead < free; ++i) {
      const CDownloadTask& other = *tasks[static_cast<size_t>(i)];
      if (&other != &task && other.waiting && Before(other, i, task, index)) ++ahead;
    }
    if (ahead < free) {
      Left(task);
      return true;
    }
  }
  if (!task.waiting) {
    task.waiting = true;
    task.SetWaitReason(kWaitingReason);
  }
  return false;
}

void CTaskQueue::ToFront(CTaskTable::Writer&, CDownloadTask& task) {
  task.queueRank = --lastFront_;
}

void CTaskQueue::Left(CDownloadTask& task) {
  task.queueRank = 0;
  if (task.waiting) {
    task.waiting = false;
    if (task.WaitReason() == kWaitingReason) task.SetWaitReason(std::string());
  }
  Wake();
}

std::vector<CTaskTable::TaskPtr> CTaskQueue::Due(CTaskTable::Writer& rows) {
  std::vector<CTaskTable::TaskPtr> due;
  const int limit = limit_;
  const auto& tasks = rows->Tasks();
  std::vector<int> waiting;
  for (int i = 0; i < static_cast<int>(tasks.size()); ++i)
    if (tasks[static_cast<size_t>(i)]->waiting) waiting.push_back(i);
  if (waiting.empty()) return due;
  const size_t free =
      limit == 0 ? waiting.size() : static_cast<size_t>(std::max(0, limit - Held(*rows, nullptr)));
  if (free == 0) return due;
  const size_t take = std::min(free, waiting.size());
  std::partial_sort(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(take),
                    waiting.end(), [&](int a, int b) {
                      return Before(*tasks[static_cast<size_t>(a)], a,
                                    *tasks[static_cast<size_t>(b)], b);
                    });
  for (size_t k = 0; k < take; ++k) due.push_back(tasks[static_cast<size_t>(waiting[k])]);
  return due;
}

void CTaskQueue::Wake() const {
  // Without a limit nobody waits: the downloader thread is not woken for nothing.
  if (wake_ && limit_) SetEvent(wake_);
}
