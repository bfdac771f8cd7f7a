// IDispatch for a dual interface, answered from its type information: the type library
// does the argument conversion and the error reporting that late-bound callers expect.
#pragma once

#include "com/ComPtr.h"
#include "com/TypeInfoHolder.h"
#include "com/Ole.h"

namespace com {

template <typename Dual>
class Dispatch : public Dual {
 protected:
  explicit Dispatch(TypeInfoHolder& typeInfo) noexcept : typeInfo_(typeInfo) {}

 public:
  // IDispatch
  IFACEMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  IFACEMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return typeInfo_.Get(lcid, out);
  }
  IFACEMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return typeInfo_.GetIDsOfNames(lcid, names, count, ids);
  }
  IFACEMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argError) override {
    if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!params) return E_POINTER;
    ComPtr<ITypeInfo> info;
    HRESULT hr = typeInfo_.Get(lcid, info.Put());
    if (FAILED(hr)) return hr;
    return info->Invoke(static_cast<Dual*>(this), id, flags, params, result, exception, argError);
  }

 private:
  TypeInfoHolder& typeInfo_;
};

}  // namespace com
