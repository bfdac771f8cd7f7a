// DllRegisterServer, DllUnregisterServer and DllInstall for a server that declares its
// registry tree and carries its type library.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "com/RegistryTree.h"
#include "base/Win.h"

namespace com {

// Builds the tree from the module's full path.
using TreeFactory = std::function<std::vector<RegistryKey>(const std::wstring& modulePath)>;

// Whose classes a registration writes: the machine's (HKEY_LOCAL_MACHINE\Software\Classes,
// which HKEY_CLASSES_ROOT shows; needs an administrator) or the current user's
// (HKEY_CURRENT_USER\Software\Classes, which HKEY_CLASSES_ROOT shows first).
enum class RegistrationScope { Machine, User };

// Writes the tree below the scope's classes key, then registers the type library for the
// same scope. The first failure is returned; a failing tree leaves nothing behind.
HRESULT RegisterServer(HMODULE module, const TreeFactory& tree,
                       RegistrationScope scope = RegistrationScope::Machine);

// Removes the tree, then the type library's registration. The first failure is returned.
HRESULT UnregisterServer(HMODULE module, const TreeFactory& tree,
                         RegistrationScope scope = RegistrationScope::Machine);

// The scope DllInstall's command line names: "user" (any case, blanks around it
// ignored) for the current user; empty or "machine" for the whole machine. False for
// anything else.
bool ParseInstallScope(const wchar_t* commandLine, RegistrationScope* scope);

// DllInstall: regsvr32 /n /i:user registers for the current user, /u /n /i:user removes
// that again. E_INVALIDARG for a command line that names no scope.
HRESULT InstallServer(HMODULE module, const TreeFactory& tree, bool install,
                      const wchar_t* commandLine);

}  // namespace com
