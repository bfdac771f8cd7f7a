// One of the kernel's own threads: started with its loop, joined once it has been told
// to end.
#pragma once

#include <functional>

#include "base/UniqueHandle.h"
#include "base/Win.h"

class CWorkerThread {
 public:
  CWorkerThread() = default;
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  void Start(std::function<void()> loop) {
    loop_ = std::move(loop);
    handle_.Reset(CreateThread(nullptr, 0, Run, this, 0, &id_));
  }
  // Waits, without a limit, until the loop has returned.
  void Join() {
    if (handle_) WaitForSingleObject(handle_.Get(), INFINITE);
    handle_.Reset();
  }
  bool Running() const { return handle_.Valid(); }

 private:
  static DWORD WINAPI Run(LPVOID self) {
    static_cast<CWorkerThread*>(self)->loop_();
    return 1;
  }
  std::function<void()> loop_;
  base::UniqueKernelHandle handle_;
  DWORD id_ = 0;
};
