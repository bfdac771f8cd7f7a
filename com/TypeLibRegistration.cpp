#include "com/TypeLibRegistration.h"

#include <string>

#include "com/ComPtr.h"
#include "com/ModulePath.h"

// In oleaut32 since Vista, but missing from the MinGW header.
extern "C" {
WINOLEAUTAPI RegisterTypeLibForUser(ITypeLib* lib, OLECHAR* path, OLECHAR* helpDir);
WINOLEAUTAPI UnRegisterTypeLibForUser(REFGUID libId, WORD major, WORD minor, LCID lcid,
                                      SYSKIND kind);
}

namespace com {

HRESULT LoadTypeLibBeside(const std::wstring& modulePath, ITypeLib** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  HRESULT hr = LoadTypeLibEx(modulePath.c_str(), REGKIND_NONE, out);
  if (SUCCEEDED(hr)) return hr;
  HRESULT fallback =
      LoadTypeLibEx(ReplaceExtension(modulePath, L".tlb").c_str(), REGKIND_NONE, out);
  return SUCCEEDED(fallback) ? fallback : hr;
}

HRESULT LoadModuleTypeLib(HMODULE module, ITypeLib** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  std::wstring path = ModulePath(module);
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  return LoadTypeLibBeside(path, out);
}

HRESULT RegisterModuleTypeLib(HMODULE module, bool forUser) {
  std::wstring path = ModulePath(module);
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  ComPtr<ITypeLib> lib;
  HRESULT hr = LoadTypeLibBeside(path, lib.Put());
  if (FAILED(hr)) return hr;
  std::wstring helpDir = DirectoryOf(path);
  OLECHAR* help = helpDir.empty() ? nullptr : helpDir.data();
  return forUser ? RegisterTypeLibForUser(lib.Get(), path.data(), help)
                 : RegisterTypeLib(lib.Get(), path.data(), help);
}

HRESULT UnregisterModuleTypeLib(HMODULE module, bool forUser) {
  ComPtr<ITypeLib> lib;
  HRESULT hr = LoadModuleTypeLib(module, lib.Put());
  if (FAILED(hr)) return hr;
  TLIBATTR* attr = nullptr;
  hr = lib->GetLibAttr(&attr);
  if (FAILED(hr)) return hr;
  TLIBATTR copy = *attr;
  lib->ReleaseTLibAttr(attr);
  return forUser ? UnRegisterTypeLibForUser(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum,
                                            copy.lcid, copy.syskind)
                 : UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid,
                                     copy.syskind);
}

}  // namespace com
