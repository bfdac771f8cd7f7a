#include "com/ServerRegistration.h"

#include "com/ModulePath.h"
#include "com/Registrar.h"
#include "com/TypeLibRegistration.h"

namespace com {

HRESULT RegisterServer(HMODULE module, const TreeFactory& tree) {
  try {
    std::wstring path = ModulePath(module);
    if (path.empty()) return E_FAIL;
    HRESULT hr = Registrar(HKEY_CLASSES_ROOT).Register(tree(path));
    if (FAILED(hr)) return hr;
    return RegisterModuleTypeLib(module);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT UnregisterServer(HMODULE module, const TreeFactory& tree) {
  try {
    std::wstring path = ModulePath(module);
    if (path.empty()) return E_FAIL;
    HRESULT hr = Registrar(HKEY_CLASSES_ROOT).Unregister(tree(path));
    HRESULT lib = UnregisterModuleTypeLib(module);
    return FAILED(hr) ? hr : lib;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace com
