// tolvashell.dll entry points: the module's state, its one class object, registration.
#include <olectl.h>

#include "com/ClassFactory.h"
#include "com/Module.h"
#include "com/ServerRegistration.h"
#include "shellext/DownloaderShellExt.h"
#include "shellext/ShellExtIds.h"
#include "shellext/ShellExtRegistry.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    com::ThisModule().Init(instance, shellext::kLibIdTolvaShell);
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    com::ThisModule().Term(reserved != nullptr);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  return com::GetClassObject<shellext::DownloaderShellExt>(
      clsid, shellext::kClsidDownloaderShellExt, iid, out);
}

STDAPI DllCanUnloadNow() { return com::ThisModule().LockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  return com::RegisterServer(com::ThisModule().Instance(), shellext::ShellExtRegistryTree);
}

STDAPI DllUnregisterServer() {
  // Removal is best effort: whatever is left behind, the caller cannot do better.
  com::UnregisterServer(com::ThisModule().Instance(), shellext::ShellExtRegistryTree);
  return S_OK;
}

// regsvr32 /n /i:user: the same classes for the current user only, no administrator needed.
STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
  HRESULT hr = com::InstallServer(com::ThisModule().Instance(), shellext::ShellExtRegistryTree,
                                  install != FALSE, commandLine);
  // Removal is best effort, as in DllUnregisterServer; a command line naming no scope is
  // still refused.
  return install || hr == E_INVALIDARG ? hr : S_OK;
}
