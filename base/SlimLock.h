// The lock for state that several threads share when they may also read it side by
// side, and its condition variable: the system's slim reader/writer lock. It is set up
// by plain initialisation, so it cannot fail to initialise and has no first use that
// two threads could race through (the runtime's own reader/writer lock is set up
// lazily, at first use). It is not recursive: a thread never takes it twice.
#pragma once

#include "base/Win.h"

namespace base {

class SlimLock {
 public:
  SlimLock() = default;
  SlimLock(const SlimLock&) = delete;
  SlimLock& operator=(const SlimLock&) = delete;

  void Lock() { AcquireSRWLockExclusive(&lock_); }
  void Unlock() { ReleaseSRWLockExclusive(&lock_); }
  void LockShared() { AcquireSRWLockShared(&lock_); }
  void UnlockShared() { ReleaseSRWLockShared(&lock_); }
  SRWLOCK* Native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

// Holds the lock alone for a scope.
class SlimGuard {
 public:
  explicit SlimGuard(SlimLock& lock) : lock_(lock) { lock_.Lock(); }
  ~SlimGuard() { lock_.Unlock(); }
  SlimGuard(const SlimGuard&) = delete;
  SlimGuard& operator=(const SlimGuard&) = delete;

 private:
  SlimLock& lock_;
};

// Holds the lock beside other readers for a scope.
class SlimSharedGuard {
 public:
  explicit SlimSharedGuard(SlimLock& lock) : lock_(lock) { lock_.LockShared(); }
  ~SlimSharedGuard() { lock_.UnlockShared(); }
  SlimSharedGuard(const SlimSharedGuard&) = delete;
  SlimSharedGuard& operator=(const SlimSharedGuard&) = delete;

 private:
  SlimLock& lock_;
};

// Waits of threads that hold a SlimLock alone; as static in its set-up as the lock.
class SlimCondition {
 public:
  SlimCondition() = default;
  SlimCondition(const SlimCondition&) = delete;
  SlimCondition& operator=(const SlimCondition&) = delete;

  // Releases `lock` while it waits, holds it again on return. False when `ms` passed.
  bool Wait(SlimLock& lock, DWORD ms) {
    return SleepConditionVariableSRW(&condition_, lock.Native(), ms, 0) != 0;
  }
  void WakeOne() { WakeConditionVariable(&condition_); }
  void WakeAll() { WakeAllConditionVariable(&condition_); }

 private:
  CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

}  // namespace base
