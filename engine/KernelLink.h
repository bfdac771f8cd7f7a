// How a pool thread reaches the kernel after a file-system call that may have taken
// minutes: the kernel may be gone by then (the program closed while a share hung), so
// the call goes through this link, which the kernel cuts before it is destroyed.
//
// A call through the link holds the kernel's end up, so it touches memory only: a file
// is closed, cut or written outside it, never while the kernel's destruction waits.
#pragma once

#include "base/SlimLock.h"

class CDownloaderKernel;

class CKernelLink {
 public:
  explicit CKernelLink(CDownloaderKernel* kernel) : kernel_(kernel) {}

  // Runs `fn(kernel)` unless the link was cut; the kernel stays alive meanwhile. Never
  // nested: `fn` makes no call through the link itself.
  template <class Fn>
  void With(Fn&& fn) {
    base::SlimSharedGuard guard(lock_);
    if (kernel_) fn(*kernel_);
  }
  // Waits for calls under way, then lets no more through.
  void Cut() {
    base::SlimGuard guard(lock_);
    kernel_ = nullptr;
  }

 private:
  base::SlimLock lock_;
  CDownloaderKernel* kernel_;
};
