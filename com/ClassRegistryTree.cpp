#include "com/ClassRegistryTree.h"

#include <objbase.h>

#include "base/UniqueHandle.h"

namespace com {

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  int length = StringFromGUID2(guid, text, 40);  // counts the closing zero
  return length > 0 ? std::wstring(text, static_cast<size_t>(length - 1)) : std::wstring();
}
namespace {

void MarkShared(RegistryKey& key) {
  key.mark = KeyMark::NoRemove;
  for (RegistryKey& sub : key.subkeys) MarkShared(sub);
}

}  // namespace

bool RegisteredInOtherView(HKEY root, const std::wstring& clsid, const std::wstring& ownPath) {
#ifdef _WIN64
  const REGSAM otherView = KEY_WOW64_32KEY;
#else
  BOOL wow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return false;
  const REGSAM otherView = KEY_WOW64_64KEY;
#endif
  const std::wstring path = L"Software\\Classes\\CLSID\\" + clsid + L"\\InprocServer32";
  base::UniqueRegKey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | otherView, key.Put()) != ERROR_SUCCESS)
    return false;
  wchar_t server[1024] = {};
  DWORD type = 0, size = sizeof(server) - sizeof(wchar_t);
  if (RegQueryValueExW(key.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(server),
                       &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  // Where a hive keeps one copy for both sizes (Wine's user classes), the other view is
  // this library's own entry: nothing else to keep reachable.
  return CompareStringOrdinal(server, -1, ownPath.c_str(), -1, TRUE) != CSTR_EQUAL;
}

void KeepProgIdsOfOtherView(std::vector<RegistryKey>& tree, HKEY root,
                            const std::wstring& ownPath) {
  for (RegistryKey& key : tree) {
    // A ProgID: a top-level key whose CLSID subkey names the class.
    for (const RegistryKey& sub : key.subkeys) {
      if (sub.name != L"CLSID" || sub.values.empty() || sub.values[0].name != L"") continue;
      if (RegisteredInOtherView(root, sub.values[0].data, ownPath)) MarkShared(key);
      break;
    }
  }
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

  return {versioned, independent, {L"CLSID", KeyMark::NoRemove, {}, {cls}}};
}

}  // namespace com
