// COM on the calling thread for the life of a scope, when the thread has not set it up
// already (a thread that already has it keeps it as it is).
#pragma once

#include "base/Win.h"

#include <objbase.h>

namespace base {

class ComScope {
 public:
  explicit ComScope(DWORD model = COINIT_APARTMENTTHREADED)
      : ok_(SUCCEEDED(CoInitializeEx(nullptr, model))) {}
  ~ComScope() {
    if (ok_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool ok_;
};

}  // namespace base
