#include "engine/IoPool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <objbase.h>

namespace {

// An idle thread ends after this long; a new one starts when work comes again.
constexpr auto kIdleLifetime = std::chrono::seconds(10);

}  // namespace

struct CIoPool::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> jobs;
  int threads = 0;
  int idle = 0;
  bool quitting = false;
};

CIoPool::CIoPool() : state_(std::make_shared<State>()) {}

CIoPool::~CIoPool() {
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->quitting = true;
  state_->wake.notify_all();
}

void CIoPool::Submit(std::function<void()> job) {
  bool spawn = false;
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->jobs.push_back(std::move(job));
    // Every idle thread may already be promised to an earlier job.
    if (state_->idle < static_cast<int>(state_->jobs.size())) {
      ++state_->threads;
      spawn = true;
    }
    state_->wake.notify_one();
  }
  if (spawn) std::thread(Work, state_).detach();
}

int CIoPool::ThreadCount() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return state_->threads;
}

void CIoPool::Work(std::shared_ptr<State> state) {
  // Shell and file calls may want COM; an MTA needs no message pump.
  HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::unique_lock<std::mutex> lock(state->mutex);
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
    lock.unlock();
    job();
    job = nullptr;  // what the job held goes now, outside the pool's lock
    lock.lock();
  }
  --state->threads;
  lock.unlock();
  if (SUCCEEDED(com)) CoUninitialize();
}
