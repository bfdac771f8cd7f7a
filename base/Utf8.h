// UTF-8 inside, UTF-16 at every call into Windows.
#pragma once

#include <string>
#include <string_view>

namespace base {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// A path in the form the wide file functions accept at any length: paths of 260
// characters and more get the \\?\ (or \\?\UNC\) prefix, with slashes made backslashes.
std::wstring WidePath(std::string_view utf8Path);

}  // namespace base
