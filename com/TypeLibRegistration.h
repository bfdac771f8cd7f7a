// Registration of the type library a server carries as its TYPELIB resource 1 (or, failing
// that, in a ".tlb" file beside it).
#pragma once

#include <string>

#include "com/Ole.h"

namespace com {

// Loads the type library inside the file at `modulePath` (TYPELIB resource 1), or else the
// ".tlb" file of the same name beside it, without registering it. The first error is
// returned when neither loads.
HRESULT LoadTypeLibBeside(const std::wstring& modulePath, ITypeLib** out);

// Loads the module's own type library without registering it.
HRESULT LoadModuleTypeLib(HMODULE module, ITypeLib** out);

// Registers it with the module's path and, as help directory, the module's folder; for
// the current user only when `forUser` is set.
HRESULT RegisterModuleTypeLib(HMODULE module, bool forUser = false);

// Removes the registration of the library the module carries (the current user's one
// when `forUser` is set).
HRESULT UnregisterModuleTypeLib(HMODULE module, bool forUser = false);

}  // namespace com
