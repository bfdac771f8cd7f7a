#include "com/ServerRegistration.h"

#include <cwctype>

#include "base/UniqueHandle.h"
#include "com/ClassRegistryTree.h"
#include "com/ModulePath.h"
#include "com/Registrar.h"
#include "com/TypeLibRegistration.h"

namespace com {
namespace {

// The classes key of the scope, opened for writing. Not HKEY_CLASSES_ROOT for the
// machine: a write there lands in the user's copy of any key the user's classes hold too
// (CLSID, once anything registered per user), so the machine would get nothing.
HRESULT OpenClasses(RegistrationScope scope, base::UniqueRegKey* out) {
  HKEY root = scope == RegistrationScope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  LSTATUS status = RegCreateKeyExW(root, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_READ | KEY_WRITE, nullptr, out->Put(), nullptr);
  return HRESULT_FROM_WIN32(status);
}

std::wstring Trimmed(const wchar_t* text) {
  std::wstring s = text ? text : L"";
  size_t first = 0;
  while (first < s.size() && std::iswspace(s[first])) ++first;
  size_t last = s.size();
  while (last > first && std::iswspace(s[last - 1])) --last;
  s = s.substr(first, last - first);
  for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(c));
  return s;
}

}  // namespace

namespace {

// One registration step with the module's path and its scope's classes key; nothing
// escapes a DLL entry point as an exception.
template <typename Step>
HRESULT WithClasses(HMODULE module, RegistrationScope scope, Step step) {
  try {
    std::wstring path = ModulePath(module);
    if (path.empty()) return E_FAIL;
    base::UniqueRegKey classes;
    HRESULT hr = OpenClasses(scope, &classes);
    if (FAILED(hr)) return hr;
    return step(path, classes.Get());
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

HRESULT RegisterServer(HMODULE module, const TreeFactory& tree, RegistrationScope scope) {
  return WithClasses(module, scope, [&](const std::wstring& path, HKEY classes) {
    HRESULT hr = Registrar(classes).Register(tree(path));
    if (FAILED(hr)) return hr;
    return RegisterModuleTypeLib(module, scope == RegistrationScope::User);
  });
}

HRESULT UnregisterServer(HMODULE module, const TreeFactory& tree, RegistrationScope scope) {
  return WithClasses(module, scope, [&](const std::wstring& path, HKEY classes) {
    std::vector<RegistryKey> keys = tree(path);
    KeepProgIdsOfOtherView(
        keys, scope == RegistrationScope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, path);
    HRESULT hr = Registrar(classes).Unregister(keys);
    HRESULT lib = UnregisterModuleTypeLib(module, scope == RegistrationScope::User);
    return FAILED(hr) ? hr : lib;
  });
}

bool ParseInstallScope(const wchar_t* commandLine, RegistrationScope* scope) {
  const std::wstring text = Trimmed(commandLine);
  if (text == L"user") {
    *scope = RegistrationScope::User;
    return true;
  }
  if (text.empty() || text == L"machine") {
    *scope = RegistrationScope::Machine;
    return true;
  }
  return false;
}

HRESULT InstallServer(HMODULE module, const TreeFactory& tree, bool install,
                      const wchar_t* commandLine) {
  RegistrationScope scope;
  if (!ParseInstallScope(commandLine, &scope)) return E_INVALIDARG;
  return install ? RegisterServer(module, tree, scope) : UnregisterServer(module, tree, scope);
}

}  // namespace com
