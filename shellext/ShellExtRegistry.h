// What tolvashell.dll writes below HKEY_CLASSES_ROOT.
#pragma once

#include <string>
#include <vector>

#include "com/RegistryTree.h"

namespace shellext {

std::vector<com::RegistryKey> ShellExtRegistryTree(const std::wstring& modulePath);

}  // namespace shellext
