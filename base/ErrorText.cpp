#include "base/ErrorText.h"

#include "base/Utf8.h"

namespace base {

std::string ErrorText(DWORD code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string words = n ? Narrow(std::wstring_view(text, n)) : std::string();
  if (text) LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' '))
    words.pop_back();
  return words.empty() ? "error " + std::to_string(code) : words;
}

}  // namespace base
