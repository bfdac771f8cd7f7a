#include "engine/SpeedMeter.h"

#include "engine/EventLog.h"

CSpeedMeter::CSpeedMeter(CTaskTable& table, HANDLE wake, HANDLE stopEvent,
                         const std::atomic<int>& stopped)
    : table_(table), wake_(wake), stopEvent_(stopEvent), stopped_(stopped) {}

void CSpeedMeter::SetUnit(int unit) {
  static const float kFactors[] = {0.001024f, 1.024f, 1024.0f};
  if (unit < 0 || unit > 2) return;
  auto units = units_.Lock();
  units->speedUnit = unit;
  units->speedFactor = kFactors[unit];
}

void CSpeedMeter::AddSample(const std::shared_ptr<CDownloadTask>& task, uint64_t readMicros) {
  auto samples = samples_.Lock();
  // The performance thread takes all queued samples on each wake.
  if (samples->empty()) SetEvent(wake_);
  samples->emplace_back(task, readMicros);
}

void CSpeedMeter::Start() {
  thread_.Start([this] { PerformanceLoop(); });
}

// A sample is the read's time alone: the wait before this thread runs, or the task's
// next read already under way, does not make a speed look higher or lower than the
// share delivered.
void CSpeedMeter::PerformanceLoop() {
  g_log.Write("perfomance thread have started");
  for (;;) {
    WaitForSingleObject(wake_, INFINITE);
    // Samples queued before a Stop still count: tasks that completed just before it
    // keep their speeds.
    std::deque<std::pair<std::weak_ptr<CDownloadTask>, uint64_t>> taken;
    samples_.Lock()->swap(taken);
    if (!taken.empty()) {
      const float factor = Factor();
      auto rows = table_.Read();
      for (auto& [weak, micros] : taken) {
        std::shared_ptr<CDownloadTask> task = weak.lock();
        int index = task ? rows->IndexOf(task.get()) : -1;
        if (index >= 0) TakeSpeedSample(rows, index, task, micros, factor);
      }
    }
    // Samples that come meanwhile gather without waking anyone (the copying threads
    // set the event only for a first sample): one wake per pause, not one per chunk.
    // Speeds stay a pause behind, far less than the window shows them.
    if (stopped_) break;
    WaitForSingleObject(stopEvent_, kSpeedPauseMs);
  }
  g_log.Write("perfomance thread has ended");
}

void CSpeedMeter::TakeSpeedSample(CTaskTable::Reader& rows, int index,
                                  const std::shared_ptr<CDownloadTask>& task, uint64_t readMicros,
                                  float speedFactor) {
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
  rows.Notify(CKernelNotices::Kind::TaskSpeed, index, task);
}
