#include "shellext/ShellExtRegistry.h"

namespace shellext {

std::vector<com::RegistryKey> ShellExtRegistryTree(const std::wstring& modulePath) {
  using com::KeyMark;
  const std::wstring clsid = L"{603C8761-BC91-4E97-8862-77B8204317FA}";
  const std::wstring title = L"DownloaderShellExt Class";
  const std::wstring progId = L"Ziravadi.DownloaderExt";
  const std::wstring progId1 = progId + L".1";

  com::RegistryKey versioned{progId1, KeyMark::Plain, {{L"", title}}, {}};
  versioned.subkeys.push_back({L"CLSID", KeyMark::Plain, {{L"", clsid}}, {}});

  com::RegistryKey independent{progId, KeyMark::Plain, {{L"", title}}, {}};
  independent.subkeys.push_back({L"CLSID", KeyMark::Plain, {{L"", clsid}}, {}});
  independent.subkeys.push_back({L"CurVer", KeyMark::Plain, {{L"", progId1}}, {}});

  com::RegistryKey cls{clsid, KeyMark::ForceRemove, {{L"", title}}, {}};
  cls.subkeys.push_back({L"ProgID", KeyMark::Plain, {{L"", progId1}}, {}});
  cls.subkeys.push_back({L"VersionIndependentProgID", KeyMark::Plain, {{L"", progId}}, {}});
  cls.subkeys.push_back({L"Programmable", KeyMark::ForceRemove, {}, {}});
  cls.subkeys.push_back({L"InprocServer32",
                         KeyMark::Plain,
                         {{L"", modulePath}, {L"ThreadingModel", L"Apartment"}},
                         {}});
  cls.subkeys.push_back(
      {L"TypeLib", KeyMark::Plain, {{L"", L"{AA3DB6C1-E127-49C5-AB4D-7CB3F2404248}"}}, {}});

  com::RegistryKey handler{L"VeraviviDuruzovevo", KeyMark::Plain, {{L"", clsid}}, {}};
  com::RegistryKey handlers{L"ContextMenuHandlers", KeyMark::NoRemove, {}, {handler}};
  com::RegistryKey shellex{L"Shellex", KeyMark::NoRemove, {}, {handlers}};
  com::RegistryKey allFiles{L"*", KeyMark::NoRemove, {}, {shellex}};

  return {versioned, independent, {L"CLSID", KeyMark::NoRemove, {}, {cls}}, allFiles};
}

}  // namespace shellext
