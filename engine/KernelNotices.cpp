#include "engine/KernelNotices.h"

namespace {

// Deliveries under way on this thread: a notice whose observer calls back into the
// kernel delivers that call's notices inside it, without taking the lock again.
thread_local int deliveryDepth = 0;
// This thread holds the detach lock shared (it delivers for another thread's observer).
thread_local bool holdsDetachLock = false;

}  // namespace

void CKernelNotices::SetObserver(IKernelObserver* observer) {
  // From inside a notice of this thread's own delivery the lock is ours already.
  if (holdsDetachLock) {
    observerThread_ = GetCurrentThreadId();
    observer_ = observer;
    return;
  }
  base::SlimGuard guard(detachLock_);
  observerThread_ = GetCurrentThreadId();
  observer_ = observer;
}

template <class Fn>
bool CKernelNotices::Tell(Fn&& fn) {
  const bool guarded = deliveryDepth == 0 && GetCurrentThreadId() != observerThread_;
  if (guarded) {
    detachLock_.LockShared();
    holdsDetachLock = true;
  }
  ++deliveryDepth;
  IKernelObserver* observer = observer_;
  const bool active = observer && observer->IsActive();
  if (active) fn(*observer);
  --deliveryDepth;
  if (guarded) {
    holdsDetachLock = false;
    detachLock_.UnlockShared();
  }
  return active;
}

void CKernelNotices::Batch::Deliver() {
  for (Notice& notice : notices_) {
    owner_.Tell([&](IKernelObserver& observer) {
      switch (notice.kind) {
        case Kind::TaskReady:
          observer.OnTaskReady(notice.index, notice.task.get());
          break;
        case Kind::TaskSpeed:
          observer.OnTaskSpeed(notice.index, notice.task.get());
          break;
        case Kind::TaskPaused:
          observer.OnTaskPaused(notice.index);
          break;
        case Kind::TaskCompleted:
          observer.OnTaskCompleted(notice.index);
          break;
        case Kind::TaskDeleted:
          observer.OnTaskDeleted(notice.index);
          break;
        case Kind::TasksAdded:
          observer.OnTasksAdded();
          break;
      }
    });
  }
  notices_.clear();
}

void CKernelNotices::Start() {
  Tell([](IKernelObserver& observer) { observer.OnStart(); });
}

void CKernelNotices::TaskPaused(int index) {
  Tell([&](IKernelObserver& observer) { observer.OnTaskPaused(index); });
}

bool CKernelNotices::Error(uint32_t code, bool inactiveAnswer) {
  bool answer = inactiveAnswer;
  Tell([&](IKernelObserver& observer) { answer = observer.OnError(code); });
  return answer;
}

bool CKernelNotices::TasksFound(bool inactiveAnswer) {
  bool answer = inactiveAnswer;
  Tell([&](IKernelObserver& observer) { answer = observer.OnTasksFound(); });
  return answer;
}
