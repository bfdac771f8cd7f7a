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
