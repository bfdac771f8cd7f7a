// DllRegisterServer and DllUnregisterServer for a server that declares its registry tree
// and carries its type library.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "com/RegistryTree.h"
#include "base/Win.h"

namespace com {

// Builds the tree from the module's full path.
using TreeFactory = std::function<std::vector<RegistryKey>(const std::wstring& modulePath)>;

// Writes the tree below HKEY_CLASSES_ROOT, then registers the type library. The first
// failure is returned; a failing tree leaves nothing behind.
HRESULT RegisterServer(HMODULE module, const TreeFactory& tree);

// Removes the tree, then the type library's registration. The first failure is returned.
HRESULT UnregisterServer(HMODULE module, const TreeFactory& tree);

}  // namespace com
