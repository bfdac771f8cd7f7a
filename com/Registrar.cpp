#include "com/Registrar.h"

#include "base/UniqueHandle.h"

namespace com {
namespace {

bool IsMissing(LSTATUS status) {
  return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND;
}

LSTATUS DeleteTree(HKEY parent, const std::wstring& name) {
  LSTATUS status = RegDeleteTreeW(parent, name.c_str());
  if (status != ERROR_SUCCESS && !IsMissing(status)) return status;
  status = RegDeleteKeyW(parent, name.c_str());
  return IsMissing(status) ? ERROR_SUCCESS : status;
}

bool HasSubkeys(HKEY key) {
  DWORD count = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return true;  // unknown: keep the key rather than lose someone's data
  return count != 0;
}

}  // namespace

HRESULT Registrar::Register(const std::vector<RegistryKey>& tree) {
  created_.clear();
  for (const RegistryKey& key : tree) {
    HRESULT hr = RegisterKey(parent_, std::wstring(), key);
    if (FAILED(hr)) {
      RollBack();
      return hr;
    }
  }
  created_.clear();
  return S_OK;
}

HRESULT Registrar::RegisterKey(HKEY parent, const std::wstring& parentPath,
                               const RegistryKey& key) {
  const std::wstring path = parentPath.empty() ? key.name : parentPath + L"\\" + key.name;
  if (key.mark == KeyMark::ForceRemove) {
    LSTATUS status = DeleteTree(parent, key.name);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  base::UniqueRegKey opened;
  DWORD disposition = 0;
  LSTATUS status = RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_READ | KEY_WRITE, nullptr, opened.Put(), &disposition);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  if (disposition == REG_CREATED_NEW_KEY) created_.push_back(path);

  for (const RegistryValue& value : key.values) {
    const auto* bytes = reinterpret_cast<const BYTE*>(value.data.c_str());
    DWORD size = static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t));
    status = RegSetValueExW(opened.Get(), value.name.empty() ? nullptr : value.name.c_str(), 0,
                            REG_SZ, bytes, size);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  }
  for (const RegistryKey& sub : key.subkeys) {
    HRESULT hr = RegisterKey(opened.Get(), path, sub);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

void Registrar::RollBack() {
  // Newest first, so children go before their parents.
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) DeleteTree(parent_, *it);
  created_.clear();
}

HRESULT Registrar::Unregister(const std::vector<RegistryKey>& tree) {
  HRESULT first = S_OK;
  for (const RegistryKey& key : tree) {
    HRESULT hr = UnregisterKey(parent_, key);
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  }
  return first;
}

HRESULT Registrar::UnregisterKey(HKEY parent, const RegistryKey& key) {
  if (key.mark == KeyMark::ForceRemove) return HRESULT_FROM_WIN32(DeleteTree(parent, key.name));

  base::UniqueRegKey opened;
  LSTATUS status = RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, opened.Put());
  if (IsMissing(status)) return S_OK;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);

  HRESULT first = S_OK;
  for (const RegistryKey& sub : key.subkeys) {
    HRESULT hr = UnregisterKey(opened.Get(), sub);
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  }
  if (key.mark == KeyMark::NoRemove) return first;

  if (HasSubkeys(opened.Get())) {
    // Someone else keeps something below: take only our values away.
    for (const RegistryValue& value : key.values)
      RegDeleteValueW(opened.Get(), value.name.empty() ? nullptr : value.name.c_str());
    return first;
  }
  opened.Reset();
  status = RegDeleteKeyW(parent, key.name.c_str());
  if (status != ERROR_SUCCESS && !IsMissing(status) && SUCCEEDED(first))
    first = HRESULT_FROM_WIN32(status);
  return first;
}

}  // namespace com
