#include "bench/Platform.h"

#include "base/Win.h"

std::string PlatformName() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  using WineVersion = const char*(CDECL*)();
  auto wineVersion = reinterpret_cast<WineVersion>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  if (wineVersion) return std::string("Wine ") + wineVersion();
  using RtlGetVersionProc = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto getVersion = reinterpret_cast<RtlGetVersionProc>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (getVersion && getVersion(&info) == 0)
    return "Windows " + std::to_string(info.dwMajorVersion) + "." +
           std::to_string(info.dwMinorVersion) + " build " + std::to_string(info.dwBuildNumber);
  return "Windows";
}
