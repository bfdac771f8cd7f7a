// Identity and reference counting for one COM object, with aggregation: the object's
// interfaces forward IUnknown to the controlling unknown (the outer object, or the
// object's own inner unknown), and every live object holds one module lock.
#pragma once

#include "com/Ole.h"

namespace com {

class ObjectRoot {
 public:
  ObjectRoot(const ObjectRoot&) = delete;
  ObjectRoot& operator=(const ObjectRoot&) = delete;

  // The non-delegating IUnknown: the object's identity, and what an aggregating outer
  // object receives.
  IUnknown* InnerUnknown() noexcept { return &inner_; }

 protected:
  explicit ObjectRoot(IUnknown* outer) noexcept;
  virtual ~ObjectRoot();

  // The object's own interface pointer for `iid` (IUnknown excluded), or null.
  virtual void* FindInterface(REFIID iid) noexcept = 0;

  // What the interfaces' IUnknown methods call.
  HRESULT ControllingQueryInterface(REFIID iid, void** out) noexcept {
    return controlling_->QueryInterface(iid, out);
  }
  ULONG ControllingAddRef() noexcept { return controlling_->AddRef(); }
  ULONG ControllingRelease() noexcept { return controlling_->Release(); }

 private:
  class Inner : public IUnknown {
   public:
    explicit Inner(ObjectRoot& self) : self_(self) {}
    IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override;
    IFACEMETHODIMP_(ULONG) AddRef() override;
    IFACEMETHODIMP_(ULONG) Release() override;

   private:
    ObjectRoot& self_;
  };

  Inner inner_;
  IUnknown* controlling_;
  // Apartment-threaded objects: one thread at a time, so a plain counter.
  ULONG refs_ = 0;
};

// Creates a T (constructed from its outer unknown) and hands out `iid`. An outer object
// is accepted only when it asks for IUnknown, as the aggregation rules require.
template <typename T>
HRESULT CreateObject(IUnknown* outer, REFIID iid, void** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  T* object = nullptr;
  try {
    object = new T(outer);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  IUnknown* inner = object->InnerUnknown();
  inner->AddRef();
  HRESULT hr = inner->QueryInterface(iid, out);
  inner->Release();
  return hr;
}

}  // namespace com
