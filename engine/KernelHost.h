// Owns the download kernel and is its observer, with do-nothing defaults; the main
// window derives from it and overrides what it needs.
#pragma once

#include <cstdint>

#include "engine/DownloaderKernel.h"
#include "engine/KernelObserver.h"

class CKernelHost : public IKernelObserver {
 public:
  CKernelHost();
  // Detaches itself; the kernel then stops its threads if they still run. A derived
  // class whose overrides touch its own members must call Kernel().Stop() in its own
  // destructor, before those members go.
  virtual ~CKernelHost();
  CKernelHost(const CKernelHost&) = delete;
  CKernelHost& operator=(const CKernelHost&) = delete;

  CDownloaderKernel& Kernel() { return m_kernel; }

  void OnStart() override {}
  void OnTaskReady(int, CDownloadTask*) override {}
  void OnTaskSpeed(int, CDownloadTask*) override {}
  void OnTaskPaused(int) override {}
  void OnTaskCompleted(int) override {}
  void OnTaskDeleted(int) override {}
  bool IsActive() override { return true; }
  bool OnError(uint32_t) override { return false; }

 protected:
  CDownloaderKernel m_kernel;
};
