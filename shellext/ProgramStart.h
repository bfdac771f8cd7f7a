// Starting the program by its bare name, as the shell finds it.
#pragma once

#include <string>

#include "shellext/Shell.h"

namespace shellext {

inline constexpr wchar_t kProgramName[] = L"tolva.exe";

// How many characters the program may take on the command line the shell builds for
// it: the longest of the forms the shell may find it under (the bare name, the standard
// search, the per-application paths), in quotes.
size_t ProgramCommandChars();

// Asks the shell to start the program with `parameters`. The platform's own error box is
// left out when `noUi` is set. The failure is the platform's error when the shell could
// not start it; what the program does once started is not known here.
HRESULT StartProgram(HWND owner, const std::wstring& parameters, bool noUi);

}  // namespace shellext
