// Each task's copy speed, from the durations of its chunk reads: the copying threads
// queue every completed read's own duration (AddSample), and the performance thread
// turns ten of a task's samples into a speed at the eleventh and tells the observer.
// One wait covers any number of tasks, and a wake costs only the reads that came in.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>

#include "base/Guarded.h"
#include "base/Win.h"
#include "engine/TaskTable.h"
#include "engine/WorkerThread.h"

// Completed reads per speed window.
constexpr uint32_t SPEED_WINDOW = 10;
// How long the performance thread lets speed samples gather between two looks.
constexpr uint32_t kSpeedPauseMs = 50;

class CSpeedMeter {
 public:
  // `wake` is the kernel's SpeedWakeEvent; `stopEvent` is set while the kernel stops.
  CSpeedMeter(CTaskTable& table, HANDLE wake, HANDLE stopEvent, const std::atomic<int>& stopped);
  CSpeedMeter(const CSpeedMeter&) = delete;
  CSpeedMeter& operator=(const CSpeedMeter&) = delete;

  // 0, 1 ("Kbps") or 2 ("Mbps"); others change nothing.
  void SetUnit(int unit);
  int Unit() const { return units_.LockShared()->speedUnit; }
  float Factor() const { return units_.LockShared()->speedFactor; }

  // From a copying thread, with the table held: one completed read of `task`.
  void AddSample(const std::shared_ptr<CDownloadTask>& task, uint64_t readMicros);

  void Start();
  void Join() { thread_.Join(); }
  bool Running() const { return thread_.Running(); }

 private:
  struct Units {
    int speedUnit = 2;
    float speedFactor = 1024.0f;
  };
  void PerformanceLoop();
  // On the performance thread, which alone keeps the samples' counts in the records.
  void TakeSpeedSample(CTaskTable::Reader& rows, int index,
                       const std::shared_ptr<CDownloadTask>& task, uint64_t readMicros,
                       float speedFactor);

  CTaskTable& table_;
  HANDLE wake_;
  HANDLE stopEvent_;
  const std::atomic<int>& stopped_;
  base::Guarded<Units> units_;
  base::Guarded<std::deque<std::pair<std::weak_ptr<CDownloadTask>, uint64_t>>> samples_;
  CWorkerThread thread_;
};
