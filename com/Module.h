// The state one in-process server keeps for its whole life: its instance handle, the
// identifier of its type library and the lock count that decides whether it may unload.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "base/SlimLock.h"
#include "com/Ole.h"

namespace com {

class Module {
 public:
  Module();
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Called from DllMain at attach time.
  void Init(HINSTANCE instance, const GUID& typeLibId);
  // Called from DllMain at detach time. When the whole process is ending the cached
  // COM objects are left alone: the libraries they live in may already be gone.
  void Term(bool processEnding);

  HINSTANCE Instance() const noexcept { return instance_; }
  const GUID& TypeLibId() const noexcept { return typeLibId_; }

  long Lock() noexcept { return ++locks_; }
  long Unlock() noexcept { return --locks_; }
  long LockCount() const noexcept { return locks_.load(); }

  // Guards objects created lazily and shared by all threads of the process. Not
  // recursive: nothing that takes it is called with it held.
  base::SlimLock& Guard() noexcept { return guard_; }
  // Registers work for Term (releasing cached type information and the like).
  void AtTerm(std::function<void()> fn);

 private:
  HINSTANCE instance_ = nullptr;
  GUID typeLibId_ = {};
  std::atomic<long> locks_{0};
  base::SlimLock guard_;
  std::vector<std::function<void()>> atTerm_;
};

// The module object of the library this code is linked into (each DLL has its own).
Module& ThisModule();

// Holds the module's guard for one scope.
class ModuleGuard {
 public:
  ModuleGuard() : guard_(ThisModule().Guard()) {}

 private:
  base::SlimGuard guard_;
};

}  // namespace com
