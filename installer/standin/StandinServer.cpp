// A stand-in for the two self-registering libraries, used to exercise the installer while
// the real ones are not part of the build. Built twice: with STANDIN_SHELL it writes the
// context-menu handler's class and handler keys, otherwise the starter's ProgID and class.
// Registration writes the library's own path, so the installed location can be checked.
#include "base/Win.h"

namespace {

HMODULE g_module = nullptr;
HKEY g_classes = HKEY_CLASSES_ROOT;  // the current user's classes while DllInstall "user" runs

#ifdef STANDIN_SHELL
constexpr const wchar_t* kClassKey = L"CLSID\\{603C8761-BC91-4E97-8862-77B8204317FA}";
constexpr const wchar_t* kOtherKey = L"*\\Shellex\\ContextMenuHandlers\\VeraviviDuruzovevo";
constexpr const wchar_t* kOtherValue = L"{603C8761-BC91-4E97-8862-77B8204317FA}";
#else
constexpr const wchar_t* kClassKey = L"CLSID\\{C998F1AA-C1F7-4562-97B4-12087D1EA397}";
constexpr const wchar_t* kOtherKey = L"Veduravevaredav.Starter\\CLSID";
constexpr const wchar_t* kOtherValue = L"{C998F1AA-C1F7-4562-97B4-12087D1EA397}";
#endif

LONG SetDefault(const wchar_t* subkey, const wchar_t* value) {
  HKEY key = nullptr;
  LONG rc =
      RegCreateKeyExW(g_classes, subkey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                      static_cast<DWORD>((lstrlenW(value) + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return rc;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

extern "C" __declspec(dllexport) HRESULT __stdcall DllRegisterServer() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return E_FAIL;
  wchar_t server[128];
  wsprintfW(server, L"%s\\InprocServer32", kClassKey);
  LONG rc = SetDefault(server, path);
  if (rc == ERROR_SUCCESS) rc = SetDefault(kOtherKey, kOtherValue);
  return HRESULT_FROM_WIN32(rc);
}

extern "C" __declspec(dllexport) HRESULT __stdcall DllUnregisterServer() {
  RegDeleteTreeW(g_classes, kClassKey);
  RegDeleteKeyW(g_classes, kClassKey);
  RegDeleteTreeW(g_classes, kOtherKey);
  RegDeleteKeyW(g_classes, kOtherKey);
#ifndef STANDIN_SHELL
  RegDeleteKeyW(g_classes, L"Veduravevaredav.Starter");
#endif
  return S_OK;
}

// Like the real libraries: "user" writes the same keys below HKCU\Software\Classes.
extern "C" __declspec(dllexport) HRESULT __stdcall DllInstall(BOOL install, const wchar_t* line) {
  if (!line || lstrcmpiW(line, L"user") != 0) return E_INVALIDARG;
  HKEY user = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &user, nullptr) != ERROR_SUCCESS)
    return E_FAIL;
  g_classes = user;
  HRESULT hr = install ? DllRegisterServer() : DllUnregisterServer();
  g_classes = HKEY_CLASSES_ROOT;
  RegCloseKey(user);
  return hr;
}
