#include "app/SingleInstance.h"
#include "app/testing/PrivateName.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>
#include <thread>

namespace {

using apptest::PrivateName;

TEST(SingleInstance, LaterStartsHandOverToTheFirstUntilItFinishes) {
  const CSingleInstance::Names names{PrivateName(L"instances"), PrivateName(L"area")};
  const CHandOffWriter::Timeouts quick{300, 5000, 5000};

  // The first instance runs on its own thread, as the program's main thread would.
  std::atomic<int> phase{0};
  std::atomic<DWORD> firstId{0};
  std::vector<std::string> files;
  std::string folder;
  std::thread firstThread([&] {
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    CSingleInstance first(names, quick, {});
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
  for (ULONGLONG t = GetTickCount64(); phase == 0 && GetTickCount64() - t < 30000;) Sleep(2);
  ASSERT_EQ(phase.load(), 1);

  std::vector<std::string> log;
  {
    CSingleInstance second(names, quick, [&](const std::string& m) { log.push_back(m); });
    EXPECT_FALSE(second.Start());
    EXPECT_TRUE(second.HandOff("\"C:\\a.txt;C:\\b.txt;\" \"D:\\In\""));
    for (ULONGLONG t = GetTickCount64(); phase == 1 && GetTickCount64() - t < 30000;) Sleep(2);
    ASSERT_EQ(phase.load(), 2);
    EXPECT_EQ(files, std::vector<std::string>({"C:\\a.txt", "C:\\b.txt"}));
    EXPECT_EQ(folder, "D:\\In");

    // Once the first has finished, a start still counted behind it cannot hand over,
    // and says so instead of waiting for ever.
    PostThreadMessageW(firstId, WM_QUIT, 0, 0);
    firstThread.join();
    ASSERT_EQ(phase.load(), 3);
    CSingleInstance late(names, quick, [&](const std::string& m) { log.push_back(m); });
    EXPECT_FALSE(late.Start());
    EXPECT_FALSE(late.HandOff("\"C:\\c.txt\""));
    EXPECT_EQ(log.size(), 1u);
  }
  // With every process gone, the next start is the first again.
  CSingleInstance next(names, quick, {});
  EXPECT_TRUE(next.Start());
  EXPECT_TRUE(next.IsFirst());
}

}  // namespace
