// The watch thread (reopens closed tasks once per interval) and the performance thread
// (turns chunk read times into speed values).
#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"

DWORD WINAPI CDownloaderKernel::WatchThreadProc(LPVOID kernel) {
  static_cast<CDownloaderKernel*>(kernel)->WatchLoop();
  return 1;
}

DWORD WINAPI CDownloaderKernel::PerformanceThreadProc(LPVOID kernel) {
  static_cast<CDownloaderKernel*>(kernel)->PerformanceLoop();
  return 1;
}

void CDownloaderKernel::WatchLoop() {
  g_log.Write("watch thread have started");
  while (!stopped) {
    WaitForSingleObject(WatchWakeEvent.Get(), watchInterval);
    if (stopped) break;
    // Opens run on pool threads: a pass over tasks whose share is gone returns at once,
    // and a task whose open still hangs gets no second one.
    CLockGuard guard(lock);
    for (auto& task : tasks)
      if (task->GetState() == TS_NOTHING) RequestOpen(task);
  }
  g_log.Write("watch thread has ended");
}

// The copying threads queue every completed read's own duration and set SpeedWakeEvent,
// so one wait covers any number of tasks and a wake costs only the reads that came in
// (never a look at every task of a long list). A sample is the read's time alone: the
// wait before this thread runs, or the task's next read already under way, does not
// make a speed look higher or lower than the share delivered.
void CDownloaderKernel::PerformanceLoop() {
  g_log.Write("perfomance thread have started");
  for (;;) {
    WaitForSingleObject(SpeedWakeEvent.Get(), INFINITE);
    // Samples queued before a Stop still count: tasks that completed just before it
    // keep their speeds.
    {
      CLockGuard guard(lock);
      while (!speedSamples.empty()) {
        TaskPtr task = speedSamples.front().first.lock();
        uint64_t micros = speedSamples.front().second;
        speedSamples.pop_front();
        int index = task ? IndexOf(task.get()) : -1;
        if (index >= 0) TakeSpeedSample(index, task.get(), micros);
      }
    }
    // Samples that come meanwhile gather without waking anyone (the copying threads
    // set the event only for a first sample): one wake per pause, not one per chunk. Speeds
    // stay a pause behind, far less than the window shows them.
    if (stopped) break;
    WaitForSingleObject(StopEvent.Get(), kSpeedPauseMs);
  }
  g_log.Write("perfomance thread has ended");
}

void CDownloaderKernel::TakeSpeedSample(int index, CDownloadTask* task, uint64_t readMicros) {
  task->sampleCount += 1;
  if (task->sampleCount <= SPEED_WINDOW) {
    task->accumulatedMicros += readMicros;
    return;
  }
  // Ten full chunks in bits over the window's milliseconds. Ten reads faster than a
  // microsecond each still make a finite speed.
  uint32_t bits = task->chunkSize * 8u * SPEED_WINDOW;
  double ms = static_cast<double>(task->accumulatedMicros ? task->accumulatedMicros : 1u) / 1000.0;
  task->speed = static_cast<float>(static_cast<double>(bits) / (ms * speedFactor));
  task->sampleCount = 0;
  task->accumulatedMicros = 0;
  if (IsObserverActive()) observer->OnTaskSpeed(index, task);
}
