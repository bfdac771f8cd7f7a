#include "winui/StringResource.h"

#include "base/Utf8.h"

namespace winui {

std::string LoadStringResource(UINT id, HINSTANCE instance) {
  // With a zero length the call hands back a pointer into the resource itself, which
  // is not zero-terminated, and the length: no buffer size to guess.
  const wchar_t* text = nullptr;
  int length = LoadStringW(instance ? instance : GetModuleHandleW(nullptr), id,
                           reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || !text) return {};
  return base::Narrow(std::wstring_view(text, static_cast<size_t>(length)));
}

}  // namespace winui
