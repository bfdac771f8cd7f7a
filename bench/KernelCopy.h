// Copies files through a real download kernel the way the program does (AddTasks into
// a folder, Start, every task completed, Stop), watching it as its observer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/KernelObserver.h"

class CDownloaderKernel;
#include "base/UniqueHandle.h"

class KernelCopy : public IKernelObserver {
 public:
  // The kernel keeps its task list file at `listPath` during each run.
  explicit KernelCopy(std::string listPath);
  KernelCopy(const KernelCopy&) = delete;
  KernelCopy& operator=(const KernelCopy&) = delete;

  // One fresh kernel per run. False, with Error() saying why, when the add was refused,
  // a task paused or gave up writing, or not every task completed within `timeoutMs`.
  bool Run(const std::vector<std::string>& sources, const std::string& folder,
           uint32_t timeoutMs = 300000);
  // While the copy runs, `watcher` is called every `everyMs` on the thread that called
  // Run, with the kernel and the seconds since just before Start (no watcher: none).
  using Watcher = std::function<void(const CDownloaderKernel&, double seconds)>;
  void WatchEvery(uint32_t everyMs, Watcher watcher) {
    watchEveryMs_ = everyMs;
    watcher_ = std::move(watcher);
  }
  // Seconds of the last run, from AddTasks until Stop returned, and of its steps.
  struct Phases {
    double add = 0;    // AddTasks (which opens each new task)
    double start = 0;  // Start (which opens every task again)
    double copy = 0;   // from Start until every task completed
    double stop = 0;   // Stop
  };
  double Seconds() const { return seconds_; }
  const Phases& PhaseSeconds() const { return phases_; }
  const std::string& Error() const { return error_; }

  // IKernelObserver
  void OnStart() override {}
  void OnTaskReady(int, CDownloadTask*) override {}
  void OnTaskSpeed(int, CDownloadTask*) override {}
  void OnTaskPaused(int index) override;
  void OnTaskCompleted(int index) override;
  void OnTaskDeleted(int) override {}
  bool IsActive() override { return true; }
  bool OnError(uint32_t code) override;

 private:
  std::string listPath_;
  base::UniqueKernelHandle done_;  // every task completed, or one failed
  std::atomic<int> expected_{0};
  std::atomic<int> completed_{0};
  std::atomic<int> paused_{0};
  std::atomic<uint32_t> errorCode_{0};
  double seconds_ = 0;
  Phases phases_;
  std::string error_;
  uint32_t watchEveryMs_ = 0;
  Watcher watcher_;
};
