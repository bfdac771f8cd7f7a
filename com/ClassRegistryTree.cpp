#include "com/ClassRegistryTree.h"

#include "base/UniqueHandle.h"

namespace com {
namespace {

void MarkShared(RegistryKey& key) {
  key.mark = KeyMark::NoRemove;
  for (RegistryKey& sub : key.subkeys) MarkShared(sub);
}

}  // namespace

bool RegisteredInOtherView(const std::wstring& clsid) {
#ifdef _WIN64
  const REGSAM otherView = KEY_WOW64_32KEY;
#else
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return false;
  const REGSAM otherView = KEY_WOW64_64KEY;
#endif
  const std::wstring path = L"CLSID\\" + clsid + L"\\InprocServer32";
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE | otherView, &raw) !=
      ERROR_SUCCESS)
    return false;
  base::UniqueRegKey key(raw);
  return true;
}

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

  if (RegisteredInOtherView(c.clsid)) {
    MarkShared(versioned);
    MarkShared(independent);
  }
  return {versioned, independent, {L"CLSID", KeyMark::NoRemove, {}, {cls}}};
}

}  // namespace com
