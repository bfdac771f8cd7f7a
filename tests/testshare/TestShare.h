// The misbehaving test share as a Windows test sees it. A test registered with
// tolva_add_share_gtest runs with a fresh share mounted; TestShare finds it, puts files
// behind it and tells it which fault to show next ("hang-read a.bin", "reset", ...;
// the commands are listed at the top of testshare.c).
//
//   TestShare share;
//   if (!share.Available()) GTEST_SKIP() << TestShare::kNotAvailable;
//   std::string path = share.AddFile("a.bin", bytes);   // Z:\...\mnt\a.bin
//   share.Command("hang-read a.bin");
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/Win.h"
#include "testing/Testing.h"

class TestShare {
 public:
  static constexpr const char* kNotAvailable =
      "no test share (needs /dev/fuse, fuse3 and a test registered with tolva_add_share_gtest)";

  TestShare() : root_(Env(L"TOLVA_TEST_SHARE")), backing_(Env(L"TOLVA_TEST_SHARE_BACKING")) {}

  bool Available() const { return !root_.empty() && !backing_.empty(); }

  // UTF-8 Windows paths without a trailing backslash.
  const std::string& Root() const { return root_; }
  const std::string& Backing() const { return backing_; }

  // The file's path on the share and in the folder behind it; name may hold "\".
  std::string Path(std::string_view name) const { return root_ + "\\" + std::string(name); }
  std::string BackingPath(std::string_view name) const {
    return backing_ + "\\" + std::string(name);
  }

  // Sends one command line; false when the share refuses it or cannot be reached.
  bool Command(const std::string& line) const {
    HANDLE h = CreateFileW(Wide(Path(".control")).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::string text = line + "\n";
    DWORD written = 0;
    bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size();
    return CloseHandle(h) && ok;
  }

  // The faults in force, one per line, as the share reports them (counters left out).
  std::string Faults() const {
    std::string text = ControlText();
    for (const char* counter :
         {"bytes-read ", "flushes ", "cut-bytes ", "most-readers ", "files-reading ", "flips "}) {
      const size_t at = text.find(counter);
      if (at != std::string::npos) text.erase(at, text.find('\n', at) + 1 - at);
    }
    return text;
  }

  // A counter the share keeps since it started or was last reset: "bytes-read" (read
  // from its files), "flushes" (fsyncs), "cut-bytes" (zeroed by power cuts),
  // "most-readers" (open files with a read under way at once, at most), "files-reading"
  // (such files now), "flips" (bytes stored inverted by flip-byte rules); -1 when the
  // share cannot say.
  long long Counter(const std::string& name) const {
    const std::string text = ControlText();
    const size_t at = text.find(name + " ");
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size() + 1);
  }
  long long BytesRead() const { return Counter("bytes-read"); }

  // Puts a file with these bytes behind the share (making its folders) and returns
  // its path on the share; empty on failure.
  std::string AddFile(std::string_view name, const std::vector<char>& bytes) const {
    std::string backing = BackingPath(name);
    for (size_t slash = backing.find('\\', backing_.size() + 1); slash != std::string::npos;
         slash = backing.find('\\', slash + 1)) {
      CreateDirectoryW(Wide(backing.substr(0, slash)).c_str(), nullptr);
    }
    return tolvatest::WriteBytes(Wide(backing), {bytes.data(), bytes.size()}) ? Path(name)
                                                                              : std::string();
  }

  std::string ControlText() const {
    HANDLE h = CreateFileW(Wide(Path(".control")).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "(share unreachable)";
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(h);
    return text;
  }

  static std::wstring Wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
  }

 private:
  static std::string Env(const wchar_t* name) {
    wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    if (n == 0 || n >= 32768) return {};
    int size =
        WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value, static_cast<int>(n), out.data(), size, nullptr, nullptr);
    return out;
  }

  std::string root_;
  std::string backing_;
};
