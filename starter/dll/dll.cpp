// tolvastarter.dll entry points: the module's state, its one class object, registration.
#include <olectl.h>

#include "com/ClassFactory.h"
#include "com/Module.h"
#include "com/ServerRegistration.h"
#include "starter/Starter.h"
#include "starter/StarterRegistry.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    com::ThisModule().Init(instance, LIBID_TOLVASTARTERLib);
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    com::ThisModule().Term(reserved != nullptr);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  return com::GetClassObject<starter::Starter>(clsid, CLSID_Starter, iid, out);
}

STDAPI DllCanUnloadNow() { return com::ThisModule().LockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  return com::RegisterServer(com::ThisModule().Instance(), starter::StarterRegistryTree);
}

STDAPI DllUnregisterServer() {
  return com::UnregisterServer(com::ThisModule().Instance(), starter::StarterRegistryTree);
}

// regsvr32 /n /i:user: the same classes for the current user only, no administrator needed.
STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
  return com::InstallServer(com::ThisModule().Instance(), starter::StarterRegistryTree,
                            install != FALSE, commandLine);
}
