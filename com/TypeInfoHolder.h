// The type information of one dual interface, loaded from the registered type library on
// first use and kept until the module unloads; name look-ups are cached.
#pragma once

#include <map>
#include <string>

#include "com/Ole.h"

namespace com {

class TypeInfoHolder {
 public:
  // `libraryLcid` is the locale the library is registered under, tried when the
  // caller's locale (often neutral, 0) finds no registration.
  TypeInfoHolder(const GUID& libId, const IID& iid, WORD major, WORD minor,
                 LCID libraryLcid) noexcept
      : libId_(libId), iid_(iid), major_(major), minor_(minor), libraryLcid_(libraryLcid) {}
  TypeInfoHolder(const TypeInfoHolder&) = delete;
  TypeInfoHolder& operator=(const TypeInfoHolder&) = delete;

  // An AddRef'd ITypeInfo, or the type library's load error.
  HRESULT Get(LCID lcid, ITypeInfo** out) noexcept;
  HRESULT GetIDsOfNames(LCID lcid, LPOLESTR* names, UINT count, DISPID* ids) noexcept;

 private:
  void Clear() noexcept;

  const GUID libId_;
  const IID iid_;
  const WORD major_;
  const WORD minor_;
  const LCID libraryLcid_;
  ITypeInfo* info_ = nullptr;
  std::map<std::wstring, DISPID> names_;
};

}  // namespace com
