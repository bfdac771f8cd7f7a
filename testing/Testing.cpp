#include "testing/Testing.h"

#include <random>

#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"

// commctrl.h needs the Windows headers first.
#include <commctrl.h>
#include <objbase.h>

namespace tolvatest {

namespace {

// The form the wide file functions take at any length (trees below a temp folder can
// be deeper than 260 characters).
std::wstring Long(const std::wstring& path) { return base::WidePath(base::Narrow(path)); }

bool Poll(const std::function<bool()>& done, std::chrono::milliseconds limit, void (*pause)()) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    pause();
  }
  return true;
}

}  // namespace

std::wstring UniqueText() {
  GUID g;
  CoCreateGuid(&g);
  wchar_t id[64];
  StringFromGUID2(g, id, 64);
  return std::wstring(id).substr(1, 8);
}

void RemoveTree(const std::wstring& folder) {
  if (folder.empty()) return;
  WIN32_FIND_DATAW found;
  base::UniqueFindHandle find(FindFirstFileW(Long(folder + L"\\*").c_str(), &found));
  if (find) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(Long(path).c_str());
    } while (FindNextFileW(find.Get(), &found));
  }
  find.Reset();
  RemoveDirectoryW(Long(folder).c_str());
}

TempFolder::TempFolder(const std::wstring& prefix) {
  wchar_t temp[MAX_PATH + 1] = {};
  if (!GetTempPathW(MAX_PATH + 1, temp)) return;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring folder = std::wstring(temp) + prefix + UniqueText();
    if (CreateDirectoryW(folder.c_str(), nullptr)) {
      widePath_ = folder;
      path_ = base::Narrow(folder);
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return;
  }
}

TempFolder::~TempFolder() { RemoveTree(widePath_); }

std::string TempFolder::Folder(const std::string& name) const {
  const std::string path = File(name);
  CreateDirectoryW(base::WidePath(path).c_str(), nullptr);
  return path;
}

std::string TempFolder::Write(const std::string& name, size_t size) const {
  const std::string path = File(name);
  WriteBytes(path, std::string(size, 'x'));
  return path;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesW(base::WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteBytes(const std::wstring& path, std::string_view bytes) {
  base::UniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file &&
         WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool WriteBytes(const std::string& path, std::string_view bytes) {
  return WriteBytes(base::WidePath(path), bytes);
}

bool ReadBytes(const std::wstring& path, std::string& bytes) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size;
  if (!file || !GetFileSizeEx(file.Get(), &size)) return false;
  bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  return bytes.empty() ||
         (ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
          read == bytes.size());
}

std::string ReadBytes(const std::string& path) {
  std::string bytes;
  if (!ReadBytes(base::WidePath(path), bytes)) bytes.clear();
  return bytes;
}

std::vector<char> RandomBytes(size_t size, uint32_t seed) {
  std::vector<char> bytes(size);
  std::mt19937 gen(seed);
  for (auto& b : bytes) b = static_cast<char>(gen() & 0xFF);
  return bytes;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return Poll(done, limit, [] { Sleep(5); });
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return Poll(done, limit, [] {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  });
}

std::wstring SelectedTreeItem(HWND window) {
  HWND tree = FindWindowExW(window, nullptr, WC_TREEVIEWW, nullptr);
  if (!tree) return {};
  auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
  if (!item) return {};
  wchar_t text[MAX_PATH] = {};
  TVITEMW info{};
  info.mask = TVIF_TEXT;
  info.hItem = item;
  info.pszText = text;
  info.cchTextMax = MAX_PATH;
  SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&info));
  return text;
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

}  // namespace tolvatest
