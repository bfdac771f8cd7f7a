// The class object of one COM class. It lives as long as the module; while a client
// holds a reference to it, or has locked it with LockServer, the module stays loaded.
#pragma once

#include <atomic>

#include "com/Module.h"
#include "com/ObjectRoot.h"
#include "com/Ole.h"

namespace com {

template <typename T>
class ClassFactory final : public IClassFactory {
 public:
  // The one class object of T, created on first request.
  static ClassFactory& Instance() {
    static ClassFactory factory;
    return factory;
  }

  // IUnknown
  IFACEMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  IFACEMETHODIMP_(ULONG) AddRef() override {
    long refs = ++refs_;
    if (refs == 1) ThisModule().Lock();
    return static_cast<ULONG>(refs);
  }
  IFACEMETHODIMP_(ULONG) Release() override {
    long refs = --refs_;
    if (refs == 0) ThisModule().Unlock();
    return static_cast<ULONG>(refs);
  }

  // IClassFactory
  IFACEMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    return CreateObject<T>(outer, iid, out);
  }
  IFACEMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      ThisModule().Lock();
    else
      ThisModule().Unlock();
    return S_OK;
  }

 private:
  ClassFactory() = default;
  std::atomic<long> refs_{0};
};

// DllGetClassObject for a module with one class.
template <typename T>
HRESULT GetClassObject(REFCLSID requested, REFCLSID served, REFIID iid, void** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(requested, served)) return CLASS_E_CLASSNOTAVAILABLE;
  try {
    return ClassFactory<T>::Instance().QueryInterface(iid, out);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace com
