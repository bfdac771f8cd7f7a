// What tolvastarter.dll writes below HKEY_CLASSES_ROOT.
#pragma once

#include <string>
#include <vector>

#include "com/RegistryTree.h"

namespace starter {

std::vector<com::RegistryKey> StarterRegistryTree(const std::wstring& modulePath);

}  // namespace starter
