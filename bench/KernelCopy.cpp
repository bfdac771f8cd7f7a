#include "bench/KernelCopy.h"

#include "bench/Stopwatch.h"
#include "engine/DownloaderKernel.h"

KernelCopy::KernelCopy(std::string listPath)
    : listPath_(std::move(listPath)), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void KernelCopy::OnTaskPaused(int) {
  // A paused task would only go on after the watch interval: the timing is worthless.
  ++paused_;
  SetEvent(done_.Get());
}

void KernelCopy::OnTaskCompleted(int) {
  if (++completed_ >= expected_) SetEvent(done_.Get());
}

bool KernelCopy::OnError(uint32_t code) {
  errorCode_ = code;
  SetEvent(done_.Get());
  return false;  // give up: a benchmark does not retry a failing disk
}

bool KernelCopy::Run(const std::vector<std::string>& sources, const std::string& folder,
                     uint32_t timeoutMs) {
  error_.clear();
  seconds_ = 0;
  if (!done_) {
    error_ = "cannot create an event";
    return false;
  }
  ResetEvent(done_.Get());
  expected_ = static_cast<int>(sources.size());
  completed_ = 0;
  paused_ = 0;
  errorCode_ = 0;

  CDownloaderKernel kernel;
  kernel.SetListPath(listPath_);
  kernel.SetObserver(this);
  phases_ = Phases();
  Stopwatch clock, step;
  if (!kernel.AddTasks(sources, folder)) {
    error_ = "AddTasks refused the sources";
    return false;
  }
  phases_.add = step.Seconds();
  step.Restart();
  Stopwatch sinceStart;
  kernel.Start();
  phases_.start = step.Seconds();
  step.Restart();
  DWORD wait = WAIT_TIMEOUT;
  if (watcher_ && watchEveryMs_) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
      watcher_(kernel, sinceStart.Seconds());
      wait = WaitForSingleObject(done_.Get(), watchEveryMs_);
    } while (wait == WAIT_TIMEOUT && GetTickCount64() < deadline);
  } else {
    wait = WaitForSingleObject(done_.Get(), timeoutMs);
  }
  phases_.copy = step.Seconds();
  step.Restart();
  kernel.Stop();
  phases_.stop = step.Seconds();
  seconds_ = clock.Seconds();
  kernel.SetObserver(nullptr);

  if (errorCode_)
    error_ = "a write failed with error " + std::to_string(errorCode_.load());
  else if (paused_)
    error_ = std::to_string(paused_.load()) + " task(s) paused after a failed read";
  else if (wait != WAIT_OBJECT_0 || completed_ < expected_)
    error_ = std::to_string(completed_.load()) + " of " + std::to_string(expected_.load()) +
             " tasks completed in " + std::to_string(timeoutMs / 1000) + " s";
  return error_.empty();
}
