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

// The copy loop sets a task's SpeedEvent and then SpeedWakeEvent for every completed
// read, so one wait covers any number of tasks (a wait for several objects stops at 64).
// On each wake the thread collects the samples of all tasks in list order.
void CDownloaderKernel::PerformanceLoop() {
  g_log.Write("perfomance thread have started");
  while (!stopped) {
    WaitForSingleObject(SpeedWakeEvent.Get(), INFINITE);
    if (stopped) break;
    CLockGuard guard(lock);
    for (size_t i = 0; i < tasks.size(); ++i) {
      CDownloadTask* task = tasks[i].get();
      if (task->SpeedEvent && WaitForSingleObject(task->SpeedEvent.Get(), 0) == WAIT_OBJECT_0)
        TakeSpeedSample(static_cast<int>(i), task);
    }
  }
  g_log.Write("perfomance thread has ended");
}

void CDownloaderKernel::TakeSpeedSample(int index, CDownloadTask* task) {
  task->sampleCount += 1;
  if (task->sampleCount <= SPEED_WINDOW) {
    task->accumulatedTime += GetTickCount() - task->readStartTick;
    return;
  }
  // Ten full chunks in bits over the window's milliseconds. Ten reads faster than the
  // tick resolution still make a finite speed.
  uint32_t bits = task->chunkSize * 8u * SPEED_WINDOW;
  uint32_t ms = task->accumulatedTime ? task->accumulatedTime : 1u;
  task->speed = static_cast<float>(static_cast<double>(bits) /
                                   (static_cast<double>(static_cast<float>(ms)) * speedFactor));
  task->sampleCount = 0;
  task->accumulatedTime = 0;
  if (IsObserverActive()) observer->OnTaskSpeed(index, task);
}
