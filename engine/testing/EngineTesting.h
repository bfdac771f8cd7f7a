// What the engine's tests add to testing/Testing.h: std::filesystem paths, files of
// random bytes, file lengths set from inside and outside Windows, and an observer that
// records what the kernel says.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "engine/KernelObserver.h"
#include "engine/TaskListFile.h"
#include "base/Utf8.h"
#include "base/Win.h"
#include "testing/Testing.h"

#include <objbase.h>

namespace enginetest {

inline std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(base::WidePath(utf8));
}

inline std::vector<char> WriteRandomFile(const std::string& path, size_t size, uint32_t seed) {
  std::vector<char> bytes = tolvatest::RandomBytes(size, seed);
  tolvatest::WriteBytes(path, {bytes.data(), bytes.size()});
  return bytes;
}

// The entries of a task list file as the program reads them back.
inline std::vector<TaskListEntry> LoadListFile(const std::string& path) {
  std::vector<TaskListEntry> entries;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CTaskListFile(path).Load(entries);
  CoUninitialize();
  return entries;
}

// True when both files exist with the same bytes (read in pieces: sources may be big).
inline bool SameContent(const std::string& a, const std::string& b) {
  std::ifstream fa(FsPath(a), std::ios::binary), fb(FsPath(b), std::ios::binary);
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  for (;;) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount()) return false;
    if (!std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin())) return false;
    if (fa.gcount() == 0) return true;
  }
}

// Sets the file's length with the Windows API: growth reads back as zeros and, on the
// file systems we test on, takes no disk space.
inline bool SetFileLength(const std::string& path, uint64_t length) {
  HANDLE h = CreateFileW(base::WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(length);
  bool ok = SetFilePointerEx(h, pos, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  return ok;
}

// Under Wine: changes a file's length from outside Windows' sharing rules, as another
// machine would on a share, by running the host's truncate. False when not possible.
inline bool HostTruncate(const std::string& path, uint64_t length) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!unixName) return false;
  std::wstring wide = base::Widen(path);
  char* unixPath = unixName(wide.c_str());
  if (!unixPath) return false;
  std::wstring cmd =
      L"/usr/bin/truncate -s " + std::to_wstring(length) + L" \"" + base::Widen(unixPath) + L"\"";
  HeapFree(GetProcessHeap(), 0, unixPath);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(L"Z:\\usr\\bin\\truncate", cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &si, &pi))
    return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // Wine's process object for a host program can end before the program has run, so
  // wait for the change itself.
  return tolvatest::WaitFor(
      [&] {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return GetFileAttributesExW(base::WidePath(path).c_str(), GetFileExInfoStandard, &data) &&
               ((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) == length;
      },
      std::chrono::seconds(30));
}

// Records every observer call as text ("ready 0", "paused 2", ...), in arrival order.
class RecordingObserver : public IKernelObserver {
 public:
  void OnStart() override { Add("start"); }
  void OnTaskReady(int index, CDownloadTask*) override { Add("ready " + std::to_string(index)); }
  void OnTaskSpeed(int index, CDownloadTask*) override { Add("speed " + std::to_string(index)); }
  void OnTaskPaused(int index) override { Add("paused " + std::to_string(index)); }
  void OnTaskCompleted(int index) override { Add("completed " + std::to_string(index)); }
  void OnTaskDeleted(int index) override { Add("deleted " + std::to_string(index)); }
  bool IsActive() override { return active; }
  bool OnError(uint32_t code) override {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.push_back("error " + std::to_string(code));
    errorCodes.push_back(code);
    if (errorAnswers.empty()) return defaultErrorAnswer;
    bool answer = errorAnswers.front();
    errorAnswers.erase(errorAnswers.begin());
    return answer;
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }
  int Count(const std::string& call) {
    std::lock_guard<std::mutex> guard(mutex_);
    int n = 0;
    for (auto& c : calls_) n += c == call;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.clear();
  }

  bool active = true;
  std::vector<bool> errorAnswers;   // answers to OnError, in order
  bool defaultErrorAnswer = false;  // once errorAnswers is used up
  std::vector<uint32_t> errorCodes;

 private:
  void Add(std::string call) {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.push_back(std::move(call));
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

}  // namespace enginetest
