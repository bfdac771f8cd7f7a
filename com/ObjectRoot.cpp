#include "com/ObjectRoot.h"

#include "com/Module.h"

namespace com {

ObjectRoot::ObjectRoot(IUnknown* outer) noexcept
    : inner_(*this), controlling_(outer ? outer : &inner_) {
  ThisModule().Lock();
}

ObjectRoot::~ObjectRoot() { ThisModule().Unlock(); }

HRESULT ObjectRoot::Inner::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, IID_IUnknown)) {
    *out = static_cast<IUnknown*>(this);
  } else {
    *out = self_.FindInterface(iid);
    if (!*out) return E_NOINTERFACE;
  }
  // Handed-out interfaces count on the controlling unknown; this one on itself.
  if (*out == this)
    AddRef();
  else
    self_.ControllingAddRef();
  return S_OK;
}

ULONG ObjectRoot::Inner::AddRef() { return ++self_.refs_; }

ULONG ObjectRoot::Inner::Release() {
  ULONG left = --self_.refs_;
  if (left == 0) delete &self_;
  return left;
}

}  // namespace com
