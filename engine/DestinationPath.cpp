#include "engine/DestinationPath.h"

#include "base/Utf8.h"
#include "base/Win.h"

namespace destination_path {

bool Same(const std::string& a, const std::string& b) {
  std::wstring wa = base::Widen(a), wb = base::Widen(b);
  return CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(),
                              static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

std::wstring Folded(const std::string& path) {
  std::wstring wide = base::Widen(path);
  if (wide.empty()) return wide;
  std::wstring upper(wide.size(), L'\0');
  int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(),
                        static_cast<int>(wide.size()), upper.data(), static_cast<int>(upper.size()),
                        nullptr, nullptr, 0);
  return n == static_cast<int>(upper.size()) ? upper : wide;
}

std::string NormalFolder(const std::string& folder) {
  if (folder.empty()) return folder;
  std::wstring wide = base::Widen(folder);
  // "C:" is how a drive's root is kept here (its backslash comes with each name), not
  // that drive's current folder.
  if (wide.size() == 2 && wide[1] == L':') wide += L'\\';
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return folder;
  std::wstring full(size, L'\0');
  size = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (size == 0 || size >= full.size()) return folder;
  full.resize(size);
  // Doubled separators, past a share's leading pair.
  std::wstring single;
  for (size_t i = 0; i < full.size(); ++i)
    if (!(i > 1 && full[i] == L'\\' && single.back() == L'\\')) single += full[i];
  while (single.size() > 1 && single.back() == L'\\') single.pop_back();
  // An 8.3 short name ("DOWNLO~1") is the same folder as its long name. Only such a
  // path asks the disk: every other one is settled as text, without a look-up that a
  // slow share could hold up.
  if (single.find(L'~') != std::wstring::npos) {
    std::wstring full(32768, L'\0');
    const DWORD n = GetLongPathNameW(single.c_str(), full.data(), static_cast<DWORD>(full.size()));
    if (n > 0 && n < full.size()) {
      full.resize(n);
      single = full;
    }
  }
  return base::Narrow(single);
}

std::string SafeName(const std::string& name) {
  std::string safe = name;
  while (!safe.empty() && (safe.back() == '.' || safe.back() == ' ')) safe.pop_back();
  if (safe.empty()) return name;  // nothing but dots and blanks: the caller refuses it
  if (base::NameWindowsAlters(safe)) safe = "_" + safe;
  return safe;
}

std::string NameBeside(const std::string& path, int k) {
  const size_t slash = path.find_last_of('\\');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  // A name that starts with its only dot (".profile") has no extension.
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot <= start) dot = path.size();
  return path.substr(0, dot) + " (" + std::to_string(k) + ")" + path.substr(dot);
}

}  // namespace destination_path
