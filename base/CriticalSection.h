// The one lock type: recursive (the thread that holds it may take it again), with its
// scoped guard. Locks guard memory, never I/O.
#pragma once

#include "base/Win.h"

class CCriticalSection {
 public:
  // A short spin before sleeping: the kernel lock is held for microseconds by many
  // threads, and under Wine every sleep and wake-up is a round trip to the server.
  CCriticalSection() { InitializeCriticalSectionAndSpinCount(&cs_, 4000); }
  ~CCriticalSection() { DeleteCriticalSection(&cs_); }
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Enter() { EnterCriticalSection(&cs_); }
  void Leave() { LeaveCriticalSection(&cs_); }

 private:
  CRITICAL_SECTION cs_;
};

class CLockGuard {
 public:
  explicit CLockGuard(CCriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CLockGuard() { cs_.Leave(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  CCriticalSection& cs_;
};
