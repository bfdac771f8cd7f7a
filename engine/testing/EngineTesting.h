// Small helpers shared by the engine's tests: a fresh temp folder, files of random
// bytes, waiting for a condition, and an observer that records what the kernel says.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/KernelObserver.h"
#include "engine/TaskListFile.h"
#include "base/Utf8.h"
#include "base/Win.h"

#include <objbase.h>

namespace enginetest {

// A new empty folder under the system temp folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, base);
    static int counter = 0;
    std::wstring name = std::wstring(base) + L"tolva-engine-" +
                        std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
    path_ = name;
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // UTF-8 path of the folder, without a trailing backslash.
  std::string Path() const { return base::Narrow(path_.wstring()); }
  std::string File(const std::string& name) const { return Path() + "\\" + name; }

 private:
  std::filesystem::path path_;
};

inline std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(base::WidePath(utf8));
}

inline std::vector<char> RandomBytes(size_t size, uint32_t seed) {
  std::vector<char> bytes(size);
  std::mt19937 gen(seed);
  for (auto& b : bytes) b = static_cast<char>(gen() & 0xFF);
  return bytes;
}

inline void WriteBytes(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<char> WriteRandomFile(const std::string& path, size_t size, uint32_t seed) {
  std::vector<char> bytes = RandomBytes(size, seed);
  WriteBytes(path, bytes);
  return bytes;
}

// The file's bytes; empty when it cannot be read.
inline std::vector<char> ReadBytes(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The entries of a task list file as the program reads them back.
inline std::vector<TaskListEntry> LoadListFile(const std::string& path) {
  std::vector<TaskListEntry> entries;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CTaskListFile(path).Load(entries);
  CoUninitialize();
  return entries;
}

inline bool FileExists(const std::string& path) {
  return GetFileAttributesW(base::WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
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
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  while (std::chrono::steady_clock::now() < deadline) {
    if (GetFileAttributesExW(base::WidePath(path).c_str(), GetFileExInfoStandard, &data) &&
        ((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) == length)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// Polls `condition` every few milliseconds until it holds or `timeoutMs` passed.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 60000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
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
