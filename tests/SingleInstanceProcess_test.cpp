// The real program started as separate processes: the first start runs the window and
// downloads, later starts hand their arguments to it and end without a window.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "tests/ProgramCopy.h"
#include "base/Utf8.h"
#include "testing/WindowSearch.h"

namespace {

using namespace testing_tolva;
using namespace tolvatest;
using namespace std::chrono_literals;

const std::string kCyrillicName = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.doc";  // a report
const std::string kCyrillicFolder = "\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0";    // a folder

// Runs a later start to its end; false when it showed a window or did not end in time.
::testing::AssertionResult LaterStart(ProgramCopy& program, const std::string& arguments,
                                      DWORD limitMs, ULONGLONG* tookMs = nullptr) {
  DWORD pid = 0;
  ULONGLONG start = GetTickCount64();
  base::UniqueKernelHandle process = program.Start(arguments, &pid);
  if (!process) return ::testing::AssertionFailure() << "cannot start";
  bool window = false;
  while (WaitForSingleObject(process.Get(), 5) == WAIT_TIMEOUT) {
    window = window || FirstWindow({.process = pid, .className = nullptr});
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

using ProgramStart = ProgramTest;

TEST_F(ProgramStart, FirstRunsTheWindowLaterStartsHandOverAndEnd) {
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

TEST_F(ProgramStart, TwentyLaterStartsAtOnceAllReachTheRunningInstance) {
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

TEST_F(ProgramStart, TenBatchesOfAHundredStartedBackToBackAreAllAdded) {
  ASSERT_TRUE(program.StartFirst(""));

  // Sources on no share at all: each add is cheap for the kernel, so what is measured is
  // the hand-off, and the tasks stay in the list waiting.
  constexpr int kBatches = 10, kFiles = 100;
  std::vector<base::UniqueKernelHandle> starts;
  for (int b = 0; b < kBatches; ++b) {
    std::string args = "\"";
    for (int i = 0; i < kFiles; ++i)
      args += "Q:\\gone\\b" + std::to_string(b) + "_" + std::to_string(i) + ".dat;";
    starts.push_back(program.Start(args + "\" \"" + U8(f.dst) + "\""));
    ASSERT_TRUE(starts.back()) << b;
  }
  for (auto& start : starts) {
    ASSERT_EQ(WaitForSingleObject(start.Get(), 90000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(start.Get(), &code);
    EXPECT_EQ(code, 0u);
  }
  EXPECT_TRUE(WaitFor([&] { return program.AddedTasks().size() == kBatches * kFiles; }, 60s))
      << program.AddedTasks().size();
  const std::vector<std::string> added = program.AddedTasks();
  EXPECT_EQ(std::set<std::string>(added.begin(), added.end()).size(), size_t{kBatches * kFiles});
  EXPECT_EQ(program.Log().find("Hand-off"), std::string::npos);
  EXPECT_TRUE(program.CloseFirst());
}

TEST_F(ProgramStart, LaterStartsEndAtOnceWhileTheRunningWindowWaitsOnAMessage) {
  SetDefaultFolder(L"");  // no default folder: an add without one asks
  ASSERT_TRUE(program.StartFirst(""));

  EXPECT_TRUE(LaterStart(program, "\"Q:\\gone\\nowhere.dat\"", 5000));
  HWND box = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (box = program.DialogOfFirst()) != nullptr; }));

  // The message waits for the user; later starts do not wait for it.
  constexpr int kStarts = 4;
  for (int i = 0; i < kStarts; ++i)
    EXPECT_TRUE(LaterStart(
        program, "\"Q:\\gone\\k" + std::to_string(i) + ".dat\" \"" + U8(f.dst) + "\"", 5000))
        << i;
  EXPECT_TRUE(program.AddedTasks().empty());

  // Answered, the window adds every batch that came meanwhile, in order.
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(WaitFor([&] { return program.AddedTasks().size() == kStarts; }))
      << program.AddedTasks().size();
  const std::vector<std::string> added = program.AddedTasks();
  for (int i = 0; i < kStarts; ++i) EXPECT_EQ(added[i], "k" + std::to_string(i)) << i;
  EXPECT_EQ(program.Log().find("Hand-off"), std::string::npos) << program.Log();
  EXPECT_TRUE(program.CloseFirst());
}

TEST_F(ProgramStart, AStartWhileTheInstanceClosesIsNeverLost) {
  ASSERT_TRUE(program.StartFirst(""));

  // The later start meets the closing instance at a different moment each round: before
  // it closes (the closing one takes the file), while it closes, or after it has gone.
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const std::string name = "r" + std::to_string(round) + ".dat";
    const std::string content = f.Source(name, 300000, round);
    HWND window = program.MainWindow();
    ASSERT_TRUE(window);
    base::UniqueKernelHandle closing(OpenProcess(SYNCHRONIZE, FALSE, program.FirstProcessId()));
    ASSERT_TRUE(closing);
    PostMessageW(window, WM_CLOSE, 0, 0);
    Sleep(static_cast<DWORD>(round * round * 8));
    base::UniqueKernelHandle later =
        program.Start("\"" + U8(f.src) + "\\" + name + "\" \"" + U8(f.dst) + "\"");
    ASSERT_TRUE(later);
    ASSERT_EQ(WaitForSingleObject(closing.Get(), 30000), WAIT_OBJECT_0);
    // The later start handed over and ended, or it is the next first instance itself
    // (the closing one had uncounted itself), or it started one anew.
    bool adopted = false;
    ASSERT_TRUE(WaitFor(
        [&] {
          return WaitForSingleObject(later.Get(), 0) == WAIT_OBJECT_0 ||
                 (adopted = program.AdoptRunningInstance());
        },
        90s));
    if (!adopted) {
      DWORD code = 1;
      GetExitCodeProcess(later.Get(), &code);
      EXPECT_EQ(code, 0u) << program.Log();
      // A running instance has the file, or the list keeps it for the next one.
      if (!WaitFor([&] { return program.AdoptRunningInstance(); }, 3s)) {
        ASSERT_TRUE(program.StartFirst(""));
      }
    }
    EXPECT_TRUE(Arrives(f.dst + L"\\" + W(name), content));
  }
  EXPECT_TRUE(program.CloseFirst());
  // Which ways the rounds took, for the record.
  const std::string log = program.Log();
  auto count = [&](const char* text) {
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  RecordProperty("started_anew", count("starts anew"));
  RecordProperty("passed_on_while_closing", count("passed on to a new start"));
  EXPECT_EQ(count("Hand-off failed"), 0) << log;
}

}  // namespace
