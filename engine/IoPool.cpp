#include "engine/IoPool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <objbase.h>

#include "base/ComScope.h"

namespace {

// An idle thread ends after this long; a new one starts when work comes again. Long
// enough that files handed over one batch after another find their threads waiting:
// under Wine a thread costs about 2 ms to start.
constexpr auto kIdleLifetime = std::chrono::seconds(60);
// Threads started at once for a burst of jobs (200 files added together need no 200
// threads, and on a few cores more threads only queue at the file system); past
// these, one more starts only while every thread has been inside its job for
// kStuckMs, so calls that hang never hold up the others for long.
constexpr int kCoreThreads = 16;
constexpr ULONGLONG kStuckMs = 100;
constexpr auto kMonitorPeriod = std::chrono::milliseconds(50);

}  // namespace

struct CIoPool::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> jobs;
  int threads = 0;
  int idle = 0;
  bool quitting = false;
  bool monitoring = false;
  std::condition_variable monitorTick;  // never notified: the monitor only sleeps on it
  int nextWorker = 0;
  std::map<int, ULONGLONG> busySince;  // worker -> when its current job began

  // Under the mutex: jobs wait, no thread is free for them, and every thread is stuck.
  bool NeedsThread() const {
    if (idle >= static_cast<int>(jobs.size())) return false;
    if (threads < kCoreThreads) return true;
    ULONGLONG now = GetTickCount64();
    if (static_cast<int>(busySince.size()) < threads) return false;  // one is about to take it
    for (const auto& [worker, since] : busySince)
      if (now - since < kStuckMs) return false;
    return true;
  }
};

CIoPool::CIoPool() : state_(std::make_shared<State>()) {}

CIoPool::~CIoPool() {
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->quitting = true;
  state_->wake.notify_all();
}

void CIoPool::Submit(std::function<void()> job) {
  bool spawn = false, monitor = false;
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->jobs.push_back(std::move(job));
    if (state_->NeedsThread()) {
      ++state_->threads;
      spawn = true;
    } else if (!state_->monitoring && state_->idle < static_cast<int>(state_->jobs.size())) {
      // Jobs wait behind busy threads: watch that those do not hang.
      state_->monitoring = true;
      monitor = true;
    }
    state_->wake.notify_one();
  }
  if (spawn) std::thread(Work, state_).detach();
  if (monitor) std::thread(Monitor, state_).detach();
}

void CIoPool::Monitor(std::shared_ptr<State> state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  while (!state->quitting && state->idle < static_cast<int>(state->jobs.size())) {
    if (state->NeedsThread()) {
      ++state->threads;
      std::thread(Work, state).detach();
    }
    state->monitorTick.wait_for(lock, kMonitorPeriod);
  }
  state->monitoring = false;
}

int CIoPool::ThreadCount() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return state_->threads;
}

void CIoPool::Work(std::shared_ptr<State> state) {
  // Shell and file calls may want COM; an MTA needs no message pump.
  base::ComScope com(COINIT_MULTITHREADED);
  std::unique_lock<std::mutex> lock(state->mutex);
  int self = state->nextWorker++;
  for (;;) {
    if (state->jobs.empty()) {
      if (state->quitting) break;
      ++state->idle;
      bool woke = state->wake.wait_for(lock, kIdleLifetime,
                                       [&] { return !state->jobs.empty() || state->quitting; });
      --state->idle;
      if (!woke) break;
      continue;
    }
    std::function<void()> job = std::move(state->jobs.front());
    state->jobs.pop_front();
    state->busySince[self] = GetTickCount64();
    lock.unlock();
    job();
    job = nullptr;  // what the job held goes now, outside the pool's lock
    lock.lock();
    state->busySince.erase(self);
  }
  --state->threads;
  lock.unlock();
}
