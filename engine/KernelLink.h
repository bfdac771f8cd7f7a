// How a pool thread reaches a part of the kernel after a file-system call that may have
// taken minutes: the kernel may be gone by then (the program closed while a share
// hung), so the call goes through this link, which the part cuts before it is
// destroyed.
//
// A call through the link holds the part's end up, so it touches memory only: a file
// is closed, cut or written outside it, never while the kernel's destruction waits.
#pragma once

#include "base/SlimLock.h"

template <class Part>
class CKernelLink {
 public:
  explicit CKernelLink(Part* part) : part_(part) {}

  // Runs `fn(part)` unless the link was cut; the part stays alive meanwhile. Never
  // nested: `fn` makes no call through the link itself.
  template <class Fn>
  void With(Fn&& fn) {
    base::SlimSharedGuard guard(lock_);
    if (part_) fn(*part_);
  }
  // Waits for calls under way, then lets no more through.
  void Cut() {
    base::SlimGuard guard(lock_);
    part_ = nullptr;
  }

 private:
  base::SlimLock lock_;
  Part* part_;
};
