#include "com/ModulePath.h"

namespace com {

std::wstring ModulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);  // truncated: try again with more room
  }
  DWORD n = GetLongPathNameW(path.c_str(), nullptr, 0);
  if (n == 0) return path;
  std::wstring longPath(n, L'\0');
  n = GetLongPathNameW(path.c_str(), longPath.data(), n);
  if (n == 0 || n >= longPath.size()) return path;
  longPath.resize(n);
  return longPath;
}

std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& extension) {
  size_t nameStart = path.find_last_of(L"\\/:");
  nameStart = nameStart == std::wstring::npos ? 0 : nameStart + 1;
  size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos || dot < nameStart) return path + extension;
  return path.substr(0, dot) + extension;
}

std::wstring DirectoryOf(const std::wstring& path) {
  size_t end = path.find_last_of(L"\\/:");
  return end == std::wstring::npos ? std::wstring() : path.substr(0, end + 1);
}

}  // namespace com
