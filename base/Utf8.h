// UTF-8 inside, UTF-16 at every call into Windows.
#pragma once

#include <string>
#include <string_view>

namespace base {

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// A path in the form the wide file functions accept at any length: paths of 260
// characters and more get the \\?\ (or \\?\UNC\) prefix, with slashes made backslashes.
// So do full paths with a part Windows would otherwise take for another (NameWindowsAlters),
// so that such a file is opened as the file it is.
std::wstring WidePath(std::string_view utf8Path);

// A device name (NUL, CON, AUX, PRN, COM1..9, LPT1..9, any extension) or a name ending
// in a dot or a blank: the ordinary form of a path opens a device or another name.
bool NameWindowsAlters(std::string_view name);

}  // namespace base
