#include "base/Utf8.h"

#include "base/Win.h"

namespace base {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

namespace {

// A part of a path that Windows would not take as the file it names: a device name
// (NUL, CON, AUX, PRN, COM1..COM9, LPT1..LPT9, with any extension) or a name that ends
// in a dot or a blank (which Windows drops).
bool NameWindowsBends(std::wstring_view part) {
  if (part.empty() || part == L"." || part == L"..") return false;
  if (part.back() == L'.' || part.back() == L' ') return true;
  std::wstring_view stem = part.substr(0, part.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
  auto is = [&](const wchar_t* device) {
    return CompareStringOrdinal(stem.data(), static_cast<int>(stem.size()), device, -1, TRUE) ==
           CSTR_EQUAL;
  };
  if (is(L"CON") || is(L"PRN") || is(L"AUX") || is(L"NUL")) return true;
  if (stem.size() == 4 && stem[3] >= L'1' && stem[3] <= L'9')
    return is((std::wstring(L"COM") + stem[3]).c_str()) ||
           is((std::wstring(L"LPT") + stem[3]).c_str());
  return false;
}

// A full path (drive or share) with such a part, and no "." or ".." that only the
// ordinary form resolves.
bool NeedsVerbatimForm(const std::wstring& w) {
  const bool full = (w.size() > 2 && w[1] == L':' && w[2] == L'\\') || w.rfind(L"\\\\", 0) == 0;
  if (!full) return false;
  bool bent = false;
  size_t start = w.rfind(L"\\\\", 0) == 0 ? 2 : 0;
  while (start <= w.size()) {
    size_t end = w.find(L'\\', start);
    if (end == std::wstring::npos) end = w.size();
    const std::wstring_view part(w.data() + start, end - start);
    if (part == L"." || part == L"..") return false;
    bent = bent || NameWindowsBends(part);
    start = end + 1;
  }
  return bent;
}

}  // namespace

bool NameWindowsAlters(std::string_view name) { return NameWindowsBends(Widen(name)); }

std::wstring WidePath(std::string_view utf8Path) {
  std::wstring w = Widen(utf8Path);
  if (w.rfind(L"\\\\?\\", 0) == 0) return w;
  if (w.size() < MAX_PATH) {
    for (auto& c : w)
      if (c == L'/') c = L'\\';
    if (!NeedsVerbatimForm(w)) return Widen(utf8Path);
  }
  for (auto& c : w)
    if (c == L'/') c = L'\\';
  if (w.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + w.substr(2);
  return L"\\\\?\\" + w;
}

}  // namespace base
