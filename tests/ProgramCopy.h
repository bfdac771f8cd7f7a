// A private copy of tolva.exe in a fresh temp folder, so that its task list and log
// (kept next to the program) belong to one test. Starts processes of it, finds its
// window, reads its log, and leaves nothing running or behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"
#include "testing/Testing.h"

namespace testing_tolva {

inline constexpr wchar_t kWindowTitle[] = L"Tolva - your intranet downloader";

// Some bytes of `size` that differ by `seed`.
std::string Pattern(size_t size, int seed);

// One registry value set for the life of the object; what was there before comes back
// afterwards (a key the object made goes again). `value` null: the key's default value.
class RegistryValueOverride {
 public:
  RegistryValueOverride(HKEY root, const wchar_t* key, const wchar_t* value,
                        const std::wstring& data);
  ~RegistryValueOverride();
  RegistryValueOverride(const RegistryValueOverride&) = delete;
  RegistryValueOverride& operator=(const RegistryValueOverride&) = delete;
  bool Ok() const { return set_; }

 private:
  HKEY root_;
  std::wstring key_;
  const wchar_t* value_;
  bool madeKey_ = false, hadValue_ = false, set_ = false;
  std::wstring previous_;
};

// HKCU\SOFTWARE\Tolva "DefaultDownloadFolder" for the life of the object.
class DefaultFolderSetting : public RegistryValueOverride {
 public:
  explicit DefaultFolderSetting(const std::wstring& folder);
};

class ProgramCopy {
 public:
  ProgramCopy();
  ~ProgramCopy();
  ProgramCopy(const ProgramCopy&) = delete;
  ProgramCopy& operator=(const ProgramCopy&) = delete;

  bool Ready() const { return !exe_.empty(); }
  const std::wstring& Folder() const { return folder_.WidePath(); }

  // Starts the program with `arguments` after its quoted path (UTF-8).
  base::UniqueKernelHandle Start(const std::string& arguments, DWORD* processId = nullptr);
  // Starts the first instance and waits for its window.
  // Fails with the reason: the start's error, or how the process ended and its log.
  ::testing::AssertionResult StartFirst(const std::string& arguments);
  // The running instance's main window, or null.
  HWND MainWindow() const;
  // A visible dialog or message box of the running instance, or null.
  HWND DialogOfFirst() const;
  // Asks the first instance's window to close and waits for its process to end.
  bool CloseFirst();
  // Takes over a running instance this object did not start itself (one a later start
  // started anew); false when none runs.
  bool AdoptRunningInstance();
  // Ends the first instance at once, as a crash or Task Manager would.
  bool KillFirst();
  DWORD FirstProcessId() const { return firstId_; }

  // The log as written so far, and the messages of its "add task: " lines.
  std::string Log() const;
  // Its last `bytes` bytes, for a failure message.
  std::string LogTail(size_t bytes) const;
  std::vector<std::string> AddedTasks() const;

 private:
  tolvatest::TempFolder folder_{L"tolvarun"};
  std::wstring exe_;
  base::UniqueKernelHandle first_;
  DWORD firstId_ = 0;
};

inline std::string U8(const std::wstring& text) { return base::Narrow(text); }
inline std::wstring W(const std::string& text) { return base::Widen(text); }

// Folders for sources, destinations and the default download folder, removed after.
class Folders {
  tolvatest::TempFolder srcFolder_{L"tsrc"}, dstFolder_{L"tdst"}, defFolder_{L"tdef"};

 public:
  // A source file with content of its own; returns that content.
  std::string Source(const std::string& name, size_t size, int seed) const {
    std::string bytes = Pattern(size, seed);
    EXPECT_TRUE(tolvatest::WriteBytes(src + L"\\" + W(name), bytes)) << name;
    return bytes;
  }
  const std::wstring src = srcFolder_.WidePath(), dst = dstFolder_.WidePath(),
                     def = defFolder_.WidePath();
};

// A test of the real program: a copy of it and folders of its own, the default folder
// set to `f.def` unless the test sets another.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(program.Ready()); }
  void SetDefaultFolder(const std::wstring& folder) {
    setting.reset();
    setting = std::make_unique<DefaultFolderSetting>(folder);
  }

  Folders f;
  std::unique_ptr<DefaultFolderSetting> setting = std::make_unique<DefaultFolderSetting>(f.def);
  ProgramCopy program;
};

// Waits for `path` to hold exactly `expected`. The file is read again only when its size
// is right and it has been written since the last read: a reader that kept a big file
// open all the time would make the program's own open of it fail, and the copy could not
// go on. A read that could not open the file (the program still has it open) does not
// count: the copy takes its source's time before it is closed, so its time may not
// change again.
inline ::testing::AssertionResult Arrives(const std::wstring& path, const std::string& expected) {
  std::string got;
  ULARGE_INTEGER lastLook{};
  bool looked = false;
  if (tolvatest::WaitFor([&] {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
        const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        const ULARGE_INTEGER written{
            {data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime}};
        if (size != expected.size() || (looked && written.QuadPart == lastLook.QuadPart))
          return false;
        if (!tolvatest::ReadBytes(path, got)) return false;
        looked = true;
        lastLook = written;
        return got == expected;
      }))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << U8(path) << (got.empty() ? " never arrived whole" : " differs from its source");
}

}  // namespace testing_tolva
