#include "starter/StarterRegistry.h"

namespace starter {

std::vector<com::RegistryKey> StarterRegistryTree(const std::wstring& modulePath) {
  using com::KeyMark;
  const std::wstring clsid = L"{C998F1AA-C1F7-4562-97B4-12087D1EA397}";
  const std::wstring title = L"Starter Class";
  const std::wstring progId = L"Veduravevaredav.Starter";
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
      {L"TypeLib", KeyMark::Plain, {{L"", L"{91DB5158-C493-46D2-A530-6E256B97E824}"}}, {}});

  return {versioned, independent, {L"CLSID", KeyMark::NoRemove, {}, {cls}}};
}

}  // namespace starter
