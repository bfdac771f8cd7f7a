#include "app/SingleInstance.h"
#include "app/testing/PrivateName.h"
#include "testing/Testing.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

using apptest::PrivateName;
using tolvatest::WaitFor;

TEST(SingleInstance, LaterStartsHandOverToTheFirstUntilItFinishes) {
  const CSingleInstance::Names names{PrivateName(L"instances"), PrivateName(L"area")};
  const CHandOffWriter::Timeouts quick{5000};
  std::vector<std::string> startedAnew;
  auto startAnew = [&](const std::string& text) {
    startedAnew.push_back(text);
    return true;
  };

  // The first instance runs on its own thread, as the program's main thread would.
  std::atomic<int> phase{0};
  std::atomic<DWORD> firstId{0};
  std::vector<std::string> files;
  std::string folder;
  std::thread firstThread([&] {
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    CSingleInstance first(names, quick, {}, startAnew);
    if (!first.Start()) return;
    firstId = GetCurrentThreadId();
    phase = 1;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (msg.message == WM_HANDOFF)
        first.OnHandOff([&](const std::vector<std::string>& f, const std::string& d) {
          files = f;
          folder = d;
          phase = 2;
        });
    }
    first.Finish();
    EXPECT_FALSE(first.OnHandOff({}));
    phase = 3;
  });
  WaitFor([&] { return phase != 0; });
  ASSERT_EQ(phase.load(), 1);

  std::vector<std::string> log;
  {
    CSingleInstance second(
        names, quick, [&](const std::string& m) { log.push_back(m); }, startAnew);
    EXPECT_FALSE(second.Start());
    EXPECT_TRUE(second.HandOff("\"C:\\a.txt;C:\\b.txt;\" \"D:\\In\""));
    WaitFor([&] { return phase != 1; });
    ASSERT_EQ(phase.load(), 2);
    EXPECT_EQ(files, std::vector<std::string>({"C:\\a.txt", "C:\\b.txt"}));
    EXPECT_EQ(folder, "D:\\In");

    // Once the first has finished, a start still counted behind it does not wait for
    // ever, nor drop its text: it starts the program anew with it.
    PostThreadMessageW(firstId, WM_QUIT, 0, 0);
    firstThread.join();
    ASSERT_EQ(phase.load(), 3);
    EXPECT_TRUE(startedAnew.empty());
    CSingleInstance late(
        names, quick, [&](const std::string& m) { log.push_back(m); }, startAnew);
    EXPECT_FALSE(late.Start());
    const ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(late.HandOff("\"C:\\c.txt\""));
    EXPECT_LT(GetTickCount64() - start, 3000u);
    EXPECT_EQ(startedAnew, std::vector<std::string>{"\"C:\\c.txt\""});
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("starts anew"), std::string::npos) << log[0];
    second.Finish();
  }
  // With every process gone, the next start is the first again.
  CSingleInstance next(names, quick, {});
  EXPECT_TRUE(next.Start());
  EXPECT_TRUE(next.IsFirst());
}

TEST(SingleInstance, TextsTakenButNotQueuedWhenTheWindowClosesGoToANewStart) {
  const CSingleInstance::Names names{PrivateName(L"instances"), PrivateName(L"area")};
  std::vector<std::string> startedAnew;
  std::mutex lock;
  CSingleInstance first(names, {5000}, {}, [&](const std::string& text) {
    std::lock_guard<std::mutex> hold(lock);
    startedAnew.push_back(text);
    return true;
  });
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  ASSERT_TRUE(first.Start());
  // Two later starts hand over while the window's thread queues nothing.
  for (const char* text : {"\"C:\\one\"", "\"C:\\two\" \"D:\\x\""}) {
    std::thread([&] {
      CSingleInstance later(names, {5000}, {}, {});
      EXPECT_FALSE(later.Start());
      EXPECT_TRUE(later.HandOff(text));
    }).join();
  }
  first.Finish();
  EXPECT_EQ(startedAnew, std::vector<std::string>({"\"C:\\one\"", "\"C:\\two\" \"D:\\x\""}));
  while (PeekMessageW(&msg, nullptr, WM_HANDOFF, WM_HANDOFF, PM_REMOVE)) {
  }
}

// A first instance that was killed leaves its count behind while any process keeps the
// area: the next start must take its place, once, rather than start anew without end.
TEST(SingleInstance, AStartTakesThePlaceOfAFirstInstanceThatWasKilled) {
  const CSingleInstance::Names names{PrivateName(L"instances"), PrivateName(L"area")};
  wchar_t command[] = L"cmd.exe /c exit 0";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION ended{};
  ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                             nullptr, &si, &ended));
  ASSERT_EQ(WaitForSingleObject(ended.hProcess, 30000), WAIT_OBJECT_0);
  CInstanceArea kept(names.instanceArea);  // the area as the killed instance left it
  ASSERT_EQ(kept.Enter(), 1);
  kept.SetFirst(ended.dwThreadId, ended.dwProcessId);

  CSingleInstance next(names, {2000}, {}, [](const std::string&) { return false; });
  EXPECT_TRUE(next.Start());
  EXPECT_EQ(kept.FirstProcessId(), GetCurrentProcessId());
  // Now the first runs: another start hands over as usual and takes nothing over.
  CInstanceArea other(names.instanceArea);
  EXPECT_GT(other.Enter(), 1);
  EXPECT_FALSE(other.TakeOverIfFirstEnded(GetCurrentThreadId(), ended.dwProcessId + 4));
  CSingleInstance later(names, {2000}, {}, {});
  EXPECT_FALSE(later.Start());
  next.Finish();
  CloseHandle(ended.hThread);
  CloseHandle(ended.hProcess);
}

}  // namespace
