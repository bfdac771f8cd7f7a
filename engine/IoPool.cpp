#include "engine/IoPool.h"

#include <deque>
#include <map>
#include <memory>
#include <utility>

#include "base/SlimLock.h"
#include "base/UniqueHandle.h"
#include "base/Win.h"

namespace {

// An idle thread ends after this long; a new one starts when work comes again. Long
// enough that files handed over one batch after another find their threads waiting:
// under Wine a thread costs about 2 ms to start.
constexpr DWORD kIdleLifetimeMs = 60000;
// Threads started at once for a burst of jobs (200 files added together need no 200
// threads); past these, one more starts only while every thread has been inside its
// job for kStuckMs, so calls that hang never hold up the others for long. 32 copied
// 2,000 small files about 15 % sooner on two cores, but the window then answered in up
// to 366 ms instead of at most 218: under Wine the window's thread cannot be put ahead.
constexpr int kCoreThreads = 16;
constexpr ULONGLONG kStuckMs = 100;
constexpr DWORD kMonitorPeriodMs = 50;
// How long the pool's end waits for jobs under way (closing what tasks held, a copy's
// last chunk) before it takes the threads still inside one for hung.
constexpr ULONGLONG kEndWaitMs = 500;

}  // namespace

struct CIoPool::State {
  base::SlimLock lock;
  base::SlimCondition wake;
  base::SlimCondition monitorTick;  // never woken: the monitor only sleeps on it
  std::deque<std::function<void()>> jobs;
  int threads = 0;
  int idle = 0;
  bool quitting = false;
  bool monitoring = false;
  int nextWorker = 0;
  std::map<int, ULONGLONG> busySince;  // worker -> when its current job began
  // Every thread started and not yet seen to have ended, by worker (the monitor is -1).
  std::map<int, base::UniqueKernelHandle> handles;

  // Under the lock: jobs wait, no thread is free for them, and every thread is stuck.
  bool NeedsThread() const {
    if (idle >= static_cast<int>(jobs.size())) return false;
    if (threads < kCoreThreads) return true;
    ULONGLONG now = GetTickCount64();
    if (static_cast<int>(busySince.size()) < threads) return false;  // one is about to take it
    for (const auto& [worker, since] : busySince)
      if (now - since < kStuckMs) return false;
    return true;
  }

  // Under the lock: forgets the handles of threads that have ended.
  void DropEnded() {
    for (auto it = handles.begin(); it != handles.end();)
      it = WaitForSingleObject(it->second.Get(), 0) == WAIT_OBJECT_0 ? handles.erase(it)
                                                                     : std::next(it);
  }
};

CIoPool::CIoPool() : state_(std::make_shared<State>()) {}

CIoPool::~CIoPool() {
  {
    base::SlimGuard guard(state_->lock);
    state_->quitting = true;
    state_->wake.WakeAll();
  }
  // Free threads end now, and jobs already queued (closing what tasks held) are done
  // first. Each thread is waited for until it has ended entirely: one still tearing
  // itself down while the process exits can leave the exit waiting for a lock it held.
  // A thread still inside a job when the time is up is taken for hung and left.
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    base::UniqueKernelHandle next;
    {
      base::SlimGuard guard(state_->lock);
      state_->DropEnded();
      // Free threads first: those are the ones ending now.
      HANDLE thread = nullptr;
      for (const auto& [worker, handle] : state_->handles) {
        if (!thread || !state_->busySince.count(worker)) thread = handle.Get();
        if (!state_->busySince.count(worker)) break;
      }
      HANDLE copy = nullptr;
      if (thread && DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy,
                                    SYNCHRONIZE, FALSE, 0))
        next.Reset(copy);
    }
    const ULONGLONG waited = GetTickCount64() - start;
    if (!next || waited >= kEndWaitMs) break;
    WaitForSingleObject(next.Get(), static_cast<DWORD>(kEndWaitMs - waited));
  }
}

bool CIoPool::StartThread(const std::shared_ptr<State>& state, bool monitor) {
  const int self = monitor ? -1 : state->nextWorker++;
  auto* start = new std::pair<std::shared_ptr<State>, int>(state, self);
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID param) -> DWORD {
        std::unique_ptr<std::pair<std::shared_ptr<State>, int>> start(
            static_cast<std::pair<std::shared_ptr<State>, int>*>(param));
        if (start->second < 0)
          Monitor(start->first);
        else
          Work(start->first, start->second);
        return 0;
      },
      start, 0, nullptr);
  if (!thread) {
    delete start;
    return false;
  }
  state->DropEnded();
  state->handles.emplace(self, base::UniqueKernelHandle(thread));
  return true;
}

void CIoPool::Submit(std::function<void()> job) {
  base::SlimGuard guard(state_->lock);
  state_->jobs.push_back(std::move(job));
  if (state_->NeedsThread()) {
    ++state_->threads;
    if (!StartThread(state_, false)) --state_->threads;
  } else if (!state_->monitoring && state_->idle < static_cast<int>(state_->jobs.size())) {
    // Jobs wait behind busy threads: watch that those do not hang.
    state_->monitoring = StartThread(state_, true);
  }
  state_->wake.WakeOne();
}

void CIoPool::Monitor(const std::shared_ptr<State>& state) {
  base::SlimGuard guard(state->lock);
  while (!state->quitting && state->idle < static_cast<int>(state->jobs.size())) {
    if (state->NeedsThread()) {
      ++state->threads;
      if (!StartThread(state, false)) --state->threads;
    }
    state->monitorTick.Wait(state->lock, kMonitorPeriodMs);
  }
  state->monitoring = false;
}

int CIoPool::ThreadCount() const {
  base::SlimGuard guard(state_->lock);
  return state_->threads;
}

void CIoPool::Work(const std::shared_ptr<State>& state, int self) {
  // No COM here: opens, reads, writes, closes and listings need none, and a thread with
  // nothing to tear down ends at once.
  base::SlimGuard guard(state->lock);
  for (;;) {
    if (state->jobs.empty()) {
      if (state->quitting) break;
      ++state->idle;
      const ULONGLONG since = GetTickCount64();
      while (state->jobs.empty() && !state->quitting) {
        const ULONGLONG waited = GetTickCount64() - since;
        if (waited >= kIdleLifetimeMs) break;
        state->wake.Wait(state->lock, static_cast<DWORD>(kIdleLifetimeMs - waited));
      }
      --state->idle;
      if (state->jobs.empty() && !state->quitting) break;  // idle for long: ends
      continue;
    }
    std::function<void()> job = std::move(state->jobs.front());
    state->jobs.pop_front();
    state->busySince[self] = GetTickCount64();
    state->lock.Unlock();
    job();
    job = nullptr;  // what the job held goes now, outside the pool's lock
    state->lock.Lock();
    state->busySince.erase(self);
  }
  --state->threads;
}
