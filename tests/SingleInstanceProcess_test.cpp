// The real program started as separate processes: the first start runs the window and
// downloads, later starts hand their arguments to it and end without a window.
#include <gtest/gtest.h>

#include <vector>

#include "tests/ProgramCopy.h"
#include "base/Utf8.h"

namespace {

using namespace testing_tolva;

const std::string kCyrillicName = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.doc";  // a report
const std::string kCyrillicFolder = "\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0";    // a folder

bool HasVisibleWindow(DWORD processId) {
  struct Search {
    DWORD pid;
    bool found;
  } search{processId, false};
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (pid == s->pid && IsWindowVisible(hwnd)) s->found = true;
        return !s->found;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Runs a later start to its end; false when it showed a window or did not end in time.
::testing::AssertionResult LaterStart(ProgramCopy& program, const std::string& arguments,
                                      DWORD limitMs, ULONGLONG* tookMs = nullptr) {
  DWORD pid = 0;
  ULONGLONG start = GetTickCount64();
  base::UniqueKernelHandle process = program.Start(arguments, &pid);
  if (!process) return ::testing::AssertionFailure() << "cannot start";
  bool window = false;
  while (WaitForSingleObject(process.Get(), 5) == WAIT_TIMEOUT) {
    window = window || HasVisibleWindow(pid);
    if (GetTickCount64() - start > 60000) {
      TerminateProcess(process.Get(), 1);
      return ::testing::AssertionFailure() << "a later start did not end";
    }
  }
  ULONGLONG took = GetTickCount64() - start;
  if (tookMs) *tookMs = took;
  if (window) return ::testing::AssertionFailure() << "a later start showed a window";
  if (took > limitMs)
    return ::testing::AssertionFailure() << "a later start took " << took << " ms";
  return ::testing::AssertionSuccess();
}

TEST(ProgramStart, FirstRunsTheWindowLaterStartsHandOverAndEnd) {
  Folders f;
  DefaultFolderSetting setting(f.def);
  ProgramCopy program;
  ASSERT_TRUE(program.Ready());

  // First start: sources bigger than one chunk, one of them named in Cyrillic.
  const std::string big = f.Source("big.bin", 700000, 1);
  const std::string report = f.Source(kCyrillicName, 300001, 2);
  ASSERT_TRUE(program.StartFirst("\"" + U8(f.src) + "\\big.bin;" + U8(f.src) + "\\" +
                                 kCyrillicName + ";\" \"" + U8(f.dst) + "\""));
  EXPECT_TRUE(Arrives(f.dst + L"\\big.bin", big));
  EXPECT_TRUE(Arrives(f.dst + L"\\" + W(kCyrillicName), report));

  // A later start into a Cyrillic folder: no window, over within moments (it does not
  // sit out its retries), and the running instance downloads its file.
  const std::wstring cyrillicDst = f.dst + L"\\" + W(kCyrillicFolder);
  ASSERT_TRUE(CreateDirectoryW(cyrillicDst.c_str(), nullptr));
  const std::string late = f.Source("late.txt", 1000, 3);
  ULONGLONG took = 0;
  EXPECT_TRUE(LaterStart(program, "\"" + U8(f.src) + "\\late.txt;\" \"" + U8(cyrillicDst) + "\"",
                         2000, &took));
  EXPECT_TRUE(Arrives(cyrillicDst + L"\\late.txt", late));
  RecordProperty("later_start_ms", static_cast<int>(took));

  // A later start without arguments adds nothing. It ends once its (empty) text has
  // been taken, so the log already shows whatever it caused.
  const size_t added = program.AddedTasks().size();
  EXPECT_EQ(added, 3u);
  EXPECT_TRUE(LaterStart(program, "", 2000));
  EXPECT_EQ(program.AddedTasks().size(), added);

  // Closed politely, the instance ends; the next start is a first instance again.
  ASSERT_TRUE(program.CloseFirst());
  const std::string again = f.Source("again.txt", 5000, 4);
  ASSERT_TRUE(program.StartFirst("\"" + U8(f.src) + "\\again.txt\""));
  EXPECT_TRUE(Arrives(f.def + L"\\again.txt", again));
  EXPECT_TRUE(program.CloseFirst());
}

TEST(ProgramStart, TwentyLaterStartsAtOnceAllReachTheRunningInstance) {
  Folders f;
  DefaultFolderSetting setting(f.def);
  ProgramCopy program;
  ASSERT_TRUE(program.Ready());
  ASSERT_TRUE(program.StartFirst(""));

  constexpr int kStarts = 20;
  std::vector<std::string> contents;
  std::vector<base::UniqueKernelHandle> starts;
  for (int i = 0; i < kStarts; ++i)
    contents.push_back(f.Source("f" + std::to_string(i) + ".dat", 2000 + i, 10 + i));
  for (int i = 0; i < kStarts; ++i) {
    // Every other one without a folder: it goes to the default download folder.
    std::string args = "\"" + U8(f.src) + "\\f" + std::to_string(i) + ".dat\"";
    if (i % 2) args += " \"" + U8(f.dst) + "\"";
    starts.push_back(program.Start(args));
    ASSERT_TRUE(starts.back()) << i;
  }
  for (auto& start : starts) EXPECT_EQ(WaitForSingleObject(start.Get(), 60000), WAIT_OBJECT_0);
  for (int i = 0; i < kStarts; ++i) {
    const std::wstring folder = i % 2 ? f.dst : f.def;
    EXPECT_TRUE(Arrives(folder + L"\\f" + std::to_wstring(i) + L".dat", contents[i]));
  }
  EXPECT_EQ(program.AddedTasks().size(), static_cast<size_t>(kStarts));
  EXPECT_EQ(program.Log().find("Hand-off"), std::string::npos) << program.Log();
  EXPECT_TRUE(program.CloseFirst());
}

}  // namespace
