#include "com/TypeInfoHolder.h"

#include "com/ComPtr.h"
#include "com/Module.h"

namespace com {

HRESULT TypeInfoHolder::Get(LCID lcid, ITypeInfo** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  {
    ModuleGuard lock;
    if (info_) {
      info_->AddRef();
      *out = info_;
      return S_OK;
    }
  }
  // Loaded without the module's lock, which is not recursive (AtTerm takes it) and
  // guards memory, not the registry and the disk. Two threads may both load it; the
  // first one's stays, and a second Clear at Term finds nothing to release.
  ComPtr<ITypeLib> lib;
  HRESULT hr = LoadRegTypeLib(libId_, major_, minor_, lcid, lib.Put());
  if (FAILED(hr) && lcid != libraryLcid_) {
    HRESULT second = LoadRegTypeLib(libId_, major_, minor_, libraryLcid_, lib.Put());
    if (SUCCEEDED(second)) hr = second;
  }
  if (FAILED(hr)) return hr;
  ComPtr<ITypeInfo> info;
  hr = lib->GetTypeInfoOfGuid(iid_, info.Put());
  if (FAILED(hr)) return hr;
  try {
    ThisModule().AtTerm([this] { Clear(); });
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  ModuleGuard lock;
  if (!info_) info_ = info.Detach();
  info_->AddRef();
  *out = info_;
  return S_OK;
}

HRESULT TypeInfoHolder::GetIDsOfNames(LCID lcid, LPOLESTR* names, UINT count,
                                      DISPID* ids) noexcept {
  if (!names || !ids) return E_POINTER;
  ComPtr<ITypeInfo> info;
  HRESULT hr = Get(lcid, info.Put());
  if (FAILED(hr)) return hr;
  // Only plain member look-ups are cached; named arguments go to the type information.
  if (count != 1 || !names[0]) return info->GetIDsOfNames(names, count, ids);
  try {
    ModuleGuard lock;
    auto found = names_.find(names[0]);
    if (found != names_.end()) {
      ids[0] = found->second;
      return S_OK;
    }
    hr = info->GetIDsOfNames(names, 1, ids);
    if (SUCCEEDED(hr)) names_.emplace(names[0], ids[0]);
    return hr;
  } catch (...) {
    return info->GetIDsOfNames(names, count, ids);
  }
}

void TypeInfoHolder::Clear() noexcept {
  ModuleGuard lock;
  if (info_) info_->Release();
  info_ = nullptr;
  names_.clear();
}

}  // namespace com
