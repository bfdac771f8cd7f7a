// The automation object scripts call to start a download: startDownload hands its text to
// the program unchanged.
#pragma once

#include "com/Dispatch.h"
#include "com/ObjectRoot.h"
#include "starter/StarterIds.h"

namespace starter {

class Starter final : public com::Dispatch<IStarter>, public com::ObjectRoot {
 public:
  explicit Starter(IUnknown* outer) noexcept;

  // IUnknown
  IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return ControllingQueryInterface(iid, out);
  }
  IFACEMETHODIMP_(ULONG) AddRef() override { return ControllingAddRef(); }
  IFACEMETHODIMP_(ULONG) Release() override { return ControllingRelease(); }

  // IStarter
  IFACEMETHODIMP startDownload(BSTR what) override;

 private:
  void* FindInterface(REFIID iid) noexcept override;
};

}  // namespace starter
