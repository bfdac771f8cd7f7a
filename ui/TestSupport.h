// Helpers shared by the window tests: a fresh temp folder, files in it, and waiting
// for a condition while the test thread keeps pumping its messages.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/Utf8.h"
#include "base/Win.h"

namespace testsupport {

class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    wchar_t name[64];
    swprintf(name, 64, L"tolva-ui-%lu-%lu", GetCurrentProcessId(), GetTickCount() + counter_++);
    path_ = base::Narrow(base) + base::Narrow(name);
    CreateDirectoryW(base::Widen(path_).c_str(), nullptr);
  }
  ~TempFolder() { Remove(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }
  std::string Folder(const std::string& name) const {
    std::string p = File(name);
    CreateDirectoryW(base::Widen(p).c_str(), nullptr);
    return p;
  }
  // A file of `size` bytes; returns its path.
  std::string Write(const std::string& name, size_t size) const {
    std::string p = File(name);
    HANDLE h = CreateFileW(base::Widen(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string block(65536, 'x');
    for (size_t done = 0; done < size;) {
      DWORD n = static_cast<DWORD>(std::min(block.size(), size - done)), written = 0;
      if (!WriteFile(h, block.data(), n, &written, nullptr)) break;
      done += written;
    }
    CloseHandle(h);
    return p;
  }

 private:
  static void Remove(const std::string& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(base::Widen(path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::string name = base::Narrow(data.cFileName);
        if (name == "." || name == "..") continue;
        std::string child = path + "\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          Remove(child);
        else
          DeleteFileW(base::Widen(child).c_str());
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    RemoveDirectoryW(base::Widen(path).c_str());
  }

  static inline unsigned counter_ = 0;
  std::string path_;
};

// Pumps this thread's messages until `done` holds or `seconds` pass.
inline bool WaitFor(const std::function<bool()>& done, int seconds = 30) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > static_cast<DWORD>(seconds) * 1000) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
  return true;
}

}  // namespace testsupport
