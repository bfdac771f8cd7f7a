#include "shellext/testing/TestSupport.h"

#include <algorithm>
#include <iterator>

#include "base/UniqueHandle.h"
#include "base/Utf8.h"

namespace comtest {

std::wstring BuildPath(const std::wstring& relative) {
  wchar_t dir[1024] = {};
  DWORD n = GetEnvironmentVariableW(L"TOLVA_BUILD_DIR", dir, 1024);
  std::wstring base = n && n < 1024 ? dir : L".";
  if (!base.empty() && base[0] == L'/') base = L"Z:" + base;  // the Unix root under Wine
  std::replace(base.begin(), base.end(), L'/', L'\\');
  return base + L"\\" + relative;
}

namespace {

const wchar_t kAppPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\tolva.exe";

// Where the shell looks first for the bare name.
void SetAppPath(const std::wstring& program) {
  HKEY raw = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAppPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw,
                      nullptr) == ERROR_SUCCESS) {
    base::UniqueRegKey key(raw);
    RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(program.c_str()),
                   static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
  }
}

}  // namespace

FakeTolva::FakeTolva() : record_(folder_.WidePath() + L"\\starts.txt") {
  SetAppPath(Program());
  SetEnvironmentVariableW(L"TOLVA_FAKE_RECORD", record_.c_str());
}

FakeTolva::~FakeTolva() {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kAppPath);
  SetEnvironmentVariableW(L"TOLVA_FAKE_RECORD", nullptr);
}

std::wstring FakeTolva::Program() { return BuildPath(L"shellext\\testing\\tolva.exe"); }

MissingTolva::MissingTolva() { SetAppPath(folder_.WidePath() + L"\\gone\\tolva.exe"); }

MissingTolva::~MissingTolva() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kAppPath); }

std::vector<std::wstring> FakeTolva::Starts() const {
  std::vector<std::wstring> starts;
  std::string bytes;
  if (!tolvatest::ReadBytes(record_, bytes)) return starts;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1)
    starts.push_back(base::Widen(bytes.substr(start, end - start)));
  return Sorted(std::move(starts));
}

std::vector<std::wstring> FakeTolva::WaitForStarts(size_t count) const {
  std::vector<std::wstring> starts;
  tolvatest::WaitFor([&] { return (starts = Starts()).size() >= count; });
  return starts;
}

namespace {

void Dump(HKEY key, const std::wstring& name, std::vector<std::wstring>& lines) {
  lines.push_back(name);
  std::vector<BYTE> data(65536);
  for (DWORD i = 0;; ++i) {
    wchar_t valueName[16384];
    DWORD nameLength = 16384;
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    if (RegEnumValueW(key, i, valueName, &nameLength, nullptr, &type, data.data(), &size) !=
        ERROR_SUCCESS)
      break;
    std::wstring text;
    if (type == REG_SZ)
      text.assign(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    else
      text = L"<type " + std::to_wstring(type) + L">";
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    lines.push_back(name + L": " + (nameLength ? valueName : L"@") + L" = " + text);
  }
  for (DWORD i = 0;; ++i) {
    wchar_t subName[256];
    DWORD length = 256;
    if (RegEnumKeyExW(key, i, subName, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    HKEY raw = nullptr;
    if (RegOpenKeyExW(key, subName, 0, KEY_READ, &raw) != ERROR_SUCCESS) continue;
    base::UniqueRegKey sub(raw);
    Dump(sub.Get(), name.empty() ? std::wstring(subName) : name + L"\\" + subName, lines);
  }
}

}  // namespace

std::vector<std::wstring> DumpKey(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> lines;
  HKEY raw = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return lines;
  base::UniqueRegKey key(raw);
  size_t slash = path.rfind(L'\\');
  Dump(key.Get(), slash == std::wstring::npos ? path : path.substr(slash + 1), lines);
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::vector<std::wstring> Added(const std::vector<std::wstring>& before,
                                const std::vector<std::wstring>& after) {
  std::vector<std::wstring> added;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  return added;
}

bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
  RegCloseKey(raw);
  return true;
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

bool CopyTo(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

}  // namespace comtest
