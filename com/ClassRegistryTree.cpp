#include "com/ClassRegistryTree.h"

namespace com {

std::vector<RegistryKey> ClassRegistryTree(const ClassRegistration& c) {
  const std::wstring progId1 = c.progId + L".1";

  RegistryKey versioned{progId1, KeyMark::Plain, {{L"", c.title}}, {}};
  versioned.subkeys.push_back({L"CLSID", KeyMark::Plain, {{L"", c.clsid}}, {}});

  RegistryKey independent{c.progId, KeyMark::Plain, {{L"", c.title}}, {}};
  independent.subkeys.push_back({L"CLSID", KeyMark::Plain, {{L"", c.clsid}}, {}});
  independent.subkeys.push_back({L"CurVer", KeyMark::Plain, {{L"", progId1}}, {}});

  RegistryKey cls{c.clsid, KeyMark::ForceRemove, {{L"", c.title}}, {}};
  cls.subkeys.push_back({L"ProgID", KeyMark::Plain, {{L"", progId1}}, {}});
  cls.subkeys.push_back({L"VersionIndependentProgID", KeyMark::Plain, {{L"", c.progId}}, {}});
  cls.subkeys.push_back({L"Programmable", KeyMark::ForceRemove, {}, {}});
  cls.subkeys.push_back({L"InprocServer32",
                         KeyMark::Plain,
                         {{L"", c.modulePath}, {L"ThreadingModel", L"Apartment"}},
                         {}});
  cls.subkeys.push_back({L"TypeLib", KeyMark::Plain, {{L"", c.typeLib}}, {}});

  return {versioned, independent, {L"CLSID", KeyMark::NoRemove, {}, {cls}}};
}

}  // namespace com
