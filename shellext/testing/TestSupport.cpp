#include "shellext/testing/TestSupport.h"

#include <algorithm>
#include <functional>
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

TempFolder::TempFolder() {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  static unsigned counter = 0;
  for (;;) {
    path_ = std::wstring(temp) + L"tolvacom" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(++counter);
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
}

namespace {

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  base::UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
  if (find) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = path + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(full);
      else
        DeleteFileW(full.c_str());
    } while (FindNextFileW(find.Get(), &data));
  }
  find.Reset();
  RemoveDirectoryW(path.c_str());
}

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

TempFolder::~TempFolder() { RemoveTree(path_); }

FakeTolva::FakeTolva() : record_(folder_.Path() + L"\\starts.txt") {
  SetAppPath(Program());
  SetEnvironmentVariableW(L"TOLVA_FAKE_RECORD", record_.c_str());
}

FakeTolva::~FakeTolva() {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kAppPath);
  SetEnvironmentVariableW(L"TOLVA_FAKE_RECORD", nullptr);
}

std::wstring FakeTolva::Program() { return BuildPath(L"shellext\\testing\\tolva.exe"); }

MissingTolva::MissingTolva() { SetAppPath(folder_.Path() + L"\\gone\\tolva.exe"); }

MissingTolva::~MissingTolva() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kAppPath); }

std::vector<std::wstring> FakeTolva::Starts() const {
  std::vector<std::wstring> starts;
  base::UniqueFileHandle file(CreateFileW(record_.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (!file) return starts;
  std::string bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
    bytes.append(buffer, read);
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1)
    starts.push_back(base::Widen(bytes.substr(start, end - start)));
  return Sorted(std::move(starts));
}

std::vector<std::wstring> FakeTolva::WaitForStarts(size_t count) const {
  const DWORD deadline = GetTickCount() + 30000;
  std::vector<std::wstring> starts = Starts();
  while (starts.size() < count && static_cast<LONG>(deadline - GetTickCount()) > 0) {
    Sleep(20);
    starts = Starts();
  }
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

long RunProcess(const std::wstring& commandLine, const std::wstring& directory) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::wstring line = commandLine;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup, &process))
    return -1;
  base::UniqueKernelHandle thread(process.hThread);
  base::UniqueKernelHandle handle(process.hProcess);
  if (WaitForSingleObject(handle.Get(), 120000) != WAIT_OBJECT_0) {
    TerminateProcess(handle.Get(), 1);
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(handle.Get(), &code);
  return static_cast<long>(code);
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

bool CopyTo(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

}  // namespace comtest
