// What the kernel tells its one observer, and when. Notices are gathered while the task
// table's lock is held and delivered after it is released, in the order gathered: an
// observer may call back into the kernel from any notice, on whatever thread it came.
// Questions (OnError, OnTasksFound) and the notices of operations that hold no lock
// are delivered at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/SlimLock.h"
#include "base/Win.h"
#include "engine/KernelObserver.h"

class CDownloadTask;

class CKernelNotices {
 public:
  enum class Kind { TaskReady, TaskSpeed, TaskPaused, TaskCompleted, TaskDeleted, TasksAdded };

  // One locked step's notices, delivered by Deliver once the lock is released.
  class Batch {
   public:
    explicit Batch(CKernelNotices& owner) : owner_(owner) {}
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // `task` is held until the notice is delivered: a delete meanwhile frees nothing the
    // observer is handed.
    void Add(Kind kind, int index, std::shared_ptr<CDownloadTask> task = nullptr) {
      notices_.push_back(Notice{kind, index, std::move(task)});
    }
    void Deliver();

   private:
    struct Notice {
      Kind kind;
      int index;
      std::shared_ptr<CDownloadTask> task;
    };
    CKernelNotices& owner_;
    std::vector<Notice> notices_;
  };

  CKernelNotices() = default;
  CKernelNotices(const CKernelNotices&) = delete;
  CKernelNotices& operator=(const CKernelNotices&) = delete;

  // Not owned; null detaches. Waits for notices under way on other threads, so that a
  // detached observer hears nothing more; its own thread becomes the observer's.
  void SetObserver(IKernelObserver* observer);

  // Delivered at once, holding no kernel lock. Each asks IsActive first; with no
  // observer, or an inactive one, the answer is `inactiveAnswer`.
  void Start();
  void TaskPaused(int index);
  bool Error(uint32_t code, bool inactiveAnswer);
  bool TasksFound(bool inactiveAnswer);

 private:
  // Runs `fn(observer)` unless there is no active observer; false then.
  template <class Fn>
  bool Tell(Fn&& fn);

  // Held shared by a thread other than the observer's while it delivers, alone by
  // SetObserver: a notice never reaches an observer that has been detached.
  base::SlimLock detachLock_;
  std::atomic<IKernelObserver*> observer_{nullptr};
  std::atomic<DWORD> observerThread_{0};
};
