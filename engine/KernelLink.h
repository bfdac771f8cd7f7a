// How a pool thread reaches the kernel after a file-system call that may have taken
// minutes: the kernel may be gone by then (the program closed while a share hung), so
// the call goes through this link, which the kernel cuts before it is destroyed.
#pragma once

#include <mutex>
#include <shared_mutex>

class CDownloaderKernel;

class CKernelLink {
 public:
  explicit CKernelLink(CDownloaderKernel* kernel) : kernel_(kernel) {}

  // Runs `fn(kernel)` unless the link was cut; the kernel stays alive meanwhile.
  template <class Fn>
  void With(Fn&& fn) {
    std::shared_lock<std::shared_mutex> guard(mutex_);
    if (kernel_) fn(*kernel_);
  }
  // Waits for calls under way, then lets no more through.
  void Cut() {
    std::unique_lock<std::shared_mutex> guard(mutex_);
    kernel_ = nullptr;
  }

 private:
  std::shared_mutex mutex_;
  CDownloaderKernel* kernel_;
};
