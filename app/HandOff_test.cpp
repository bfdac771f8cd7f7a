#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "app/DownloaderCommandLineInfo.h"
#include "app/testing/PrivateName.h"
#include "app/HandOffArea.h"
#include "app/HandOffProtocol.h"
#include "app/HandOffWriter.h"
#include "app/InstanceArea.h"
#include "base/Utf8.h"

namespace {

using Files = std::vector<std::string>;

using apptest::PrivateName;

template <typename Pred>
bool WaitFor(Pred done, DWORD limitMs = 30000) {
  for (ULONGLONG start = GetTickCount64(); !done();) {
    if (GetTickCount64() - start > limitMs) return false;
    Sleep(2);
  }
  return true;
}

void EnsureQueue() {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

// A thread standing in for the running instance: it owns the area and handles the thread
// message the way the application will, collecting what it would queue.
class FirstInstance {
 public:
  explicit FirstInstance(std::wstring name) : area_(std::move(name)) {
    thread_ = std::thread([this] { Run(); });
    WaitFor([this] { return threadId_.load() != 0; });
  }
  ~FirstInstance() {
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    thread_.join();
  }
  DWORD ThreadId() const { return threadId_; }
  std::vector<std::pair<Files, std::string>> Received() {
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
  }
  size_t Count() { return Received().size(); }

  // How many of the next thread messages to lose.
  std::atomic<int> drop_{0};

 private:
  void Run() {
    EnsureQueue();
    area_.Create();
    threadId_ = GetCurrentThreadId();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (msg.message != WM_HANDOFF) continue;
      if (drop_ > 0) {  // as a dialog's own message loop would
        --drop_;
        continue;
      }
      area_.Receive([this](const Files& files, const std::string& folder) {
        std::lock_guard<std::mutex> hold(lock_);
        received_.emplace_back(files, folder);
      });
    }
  }

  CHandOffArea area_;
  std::atomic<DWORD> threadId_{0};
  std::mutex lock_;
  std::vector<std::pair<Files, std::string>> received_;
  std::thread thread_;
};

CHandOffWriter::Timeouts Short() { return {300, 5000, 300}; }

TEST(InstanceArea, CountsStartsAndResetsWhenNoProcessHoldsIt) {
  const std::wstring name = PrivateName(L"instances");
  {
    CInstanceArea first(name);
    CInstanceArea second(name);
    EXPECT_EQ(first.Enter(), 1);
    EXPECT_EQ(second.FirstThreadId(), 0u);
    first.SetFirstThreadId(4242);
    EXPECT_EQ(second.Enter(), 2);
    EXPECT_EQ(second.FirstThreadId(), 4242u);
    CInstanceArea third(name);
    EXPECT_EQ(third.Enter(), 3);  // later starts stay counted
    first.Leave();
    CInstanceArea fourth(name);
    EXPECT_EQ(fourth.Enter(), 3);
  }
  CInstanceArea again(name);
  EXPECT_EQ(again.Enter(), 1);
  EXPECT_EQ(again.FirstThreadId(), 0u);
}

TEST(HandOff, TextReachesTheRunningInstanceOnceWithAnyScript) {
  const std::wstring name = PrivateName(L"area");
  FirstInstance first(name);
  const std::string src = "C:\\\xD0\x94\xD0\xBE\xD0\xBA\\\xE5\xA0\xB1\xE5\x91\x8A.doc";
  std::vector<std::string> log;
  CHandOffWriter writer(name, Short(), [&](const std::string& m) { log.push_back(m); });
  ASSERT_TRUE(writer.Send("\"" + src + ";C:\\b.txt;\" \"E:\\\"", [&] { return first.ThreadId(); }));
  ASSERT_TRUE(WaitFor([&] { return first.Count() == 1; }));
  auto got = first.Received();
  EXPECT_EQ(got[0].first, Files({src, "C:\\b.txt"}));
  EXPECT_EQ(got[0].second, "E:\\");
  EXPECT_TRUE(log.empty());

  // A second message without a new text queues nothing.
  PostThreadMessageW(first.ThreadId(), WM_HANDOFF, 0, 0);
  ASSERT_TRUE(writer.Send("", [&] { return first.ThreadId(); }));  // an empty start
  ASSERT_TRUE(WaitFor([&] { return first.Count() == 2; }));
  got = first.Received();
  EXPECT_TRUE(got[1].first.empty());
  EXPECT_EQ(got[1].second, "");
}

TEST(HandOff, DroppedMessagesAreSentAgainUntilTheTextIsTaken) {
  const std::wstring name = PrivateName(L"area");
  FirstInstance first(name);
  first.drop_ = 3;
  std::vector<std::string> log;
  CHandOffWriter writer(name, {3000, 5000, 10000}, [&](const std::string& m) { log.push_back(m); });
  ASSERT_TRUE(writer.Send("\"C:\\late.txt\"", [&] { return first.ThreadId(); }));
  ASSERT_TRUE(WaitFor([&] { return first.Count() == 1; }));
  EXPECT_EQ(first.Received()[0].first, Files({"C:\\late.txt"}));
  EXPECT_EQ(first.drop_.load(), 0);
  EXPECT_TRUE(log.empty());
}

TEST(HandOff, ConcurrentStartsAreEachReadExactlyOnce) {
  const std::wstring name = PrivateName(L"area");
  FirstInstance first(name);
  constexpr int kWriters = 12;
  std::atomic<int> sent{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([&, i] {
      CHandOffWriter writer(name);
      std::string text =
          "\"C:\\src\\" + std::to_string(i) + ".bin;\" \"D:\\" + std::to_string(i) + "\"";
      if (writer.Send(text, [&] { return first.ThreadId(); })) ++sent;
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(sent.load(), kWriters);
  ASSERT_TRUE(WaitFor([&] { return first.Count() >= kWriters; }));
  std::set<std::string> seen;
  for (const auto& [files, folder] : first.Received()) {
    ASSERT_EQ(files.size(), 1u);
    // Every text arrives whole: its source and its folder belong together.
    EXPECT_EQ(files[0], "C:\\src\\" + folder.substr(3) + ".bin");
    seen.insert(files[0]);
  }
  EXPECT_EQ(first.Count(), static_cast<size_t>(kWriters));
  EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters));
}

TEST(HandOff, WriterWaitsForAnAreaThatIsMadeLate) {
  const std::wstring name = PrivateName(L"area");
  EnsureQueue();
  const DWORD self = GetCurrentThreadId();
  std::atomic<int> result{-1};
  std::thread late([&] {
    CHandOffWriter writer(name, {3000, 5000, 3000}, {});
    result = writer.Send("\"x\"", [&] { return self; }) ? 1 : 0;
  });
  CHandOffArea area(name);
  ASSERT_TRUE(area.Create());
  std::string text;
  EXPECT_TRUE(WaitFor([&] { return area.Take(text); }));
  late.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(text, "\"x\"");
  EXPECT_FALSE(area.Take(text));  // taken once only
}

TEST(HandOff, WritersGiveUpInBoundedTimeAndNeverDeadlock) {
  const std::wstring name = PrivateName(L"area");
  std::vector<std::string> log;
  auto record = [&](const std::string& m) { log.push_back(m); };

  // No running instance at all.
  EXPECT_FALSE(CHandOffWriter(name, Short(), record).Send("\"x\"", [] { return DWORD(0); }));
  ASSERT_EQ(log.size(), 1u);

  // An instance whose thread cannot be told: the text is withdrawn.
  CHandOffArea area(name);
  ASSERT_TRUE(area.Create());
  EXPECT_FALSE(CHandOffWriter(name, Short(), record).Send("\"x\"", [] { return DWORD(0); }));
  std::string text;
  EXPECT_FALSE(area.Take(text));

  // An instance that never takes its texts: the next writer replaces the stale one.
  EnsureQueue();
  const DWORD self = GetCurrentThreadId();
  log.clear();
  EXPECT_TRUE(CHandOffWriter(name, Short(), record).Send("\"old\"", [&] { return self; }));
  ASSERT_EQ(log.size(), 1u);  // told, but not taken yet
  EXPECT_TRUE(CHandOffWriter(name, Short(), record).Send("\"new\"", [&] { return self; }));
  ASSERT_EQ(log.size(), 3u);
  EXPECT_NE(log[1].find("replaced"), std::string::npos) << log[1];
  ASSERT_TRUE(area.Take(text));
  EXPECT_EQ(text, "\"new\"");
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_HANDOFF, WM_HANDOFF, PM_REMOVE)) {
  }
}

TEST(HandOff, TooLongTextIsCutAfterTheLastWholeSourceAndKeepsItsFolder) {
  std::string text = "\"";
  Files all;
  for (int i = 0; all.size() < 3000; ++i) {
    all.push_back("\\\\server\\share\\folder\\file" + std::to_string(i) + ".dat");
    text += all.back() + ";";
  }
  text += "\" \"D:\\\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0\"";
  ASSERT_GT(text.size(), size_t{HANDOFF_AREA_SIZE});

  bool cut = false;
  const std::string fitted = CHandOffWriter::FitText(text, cut);
  EXPECT_TRUE(cut);
  EXPECT_LE(fitted.size(), HANDOFF_AREA_SIZE - 5u);
  auto info = CDownloaderCommandLineInfo::FromHandOffText(fitted);
  EXPECT_EQ(info.m_folder, "D:\\\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0");
  ASSERT_GT(info.m_files.size(), 1000u);
  ASSERT_LT(info.m_files.size(), all.size());
  EXPECT_TRUE(std::equal(info.m_files.begin(), info.m_files.end(), all.begin()));
  // Not one more source would have fitted.
  EXPECT_GT(fitted.size() + all[info.m_files.size()].size() + 1, HANDOFF_AREA_SIZE - 5u);

  // Through the area, the cut is logged and the area's end is never overrun.
  const std::wstring name = PrivateName(L"area");
  FirstInstance first(name);
  std::vector<std::string> log;
  CHandOffWriter writer(name, Short(), [&](const std::string& m) { log.push_back(m); });
  ASSERT_TRUE(writer.Send(text, [&] { return first.ThreadId(); }));
  ASSERT_TRUE(WaitFor([&] { return first.Count() == 1; }));
  EXPECT_EQ(first.Received()[0].first, info.m_files);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("cut"), std::string::npos);

  // A text that fits is passed byte for byte.
  EXPECT_EQ(CHandOffWriter::FitText("\"a\" \"b\"", cut), "\"a\" \"b\"");
  EXPECT_FALSE(cut);
  // One source too long for the area: nothing to hand over.
  EXPECT_EQ(CHandOffWriter::FitText("\"" + std::string(70000, 'x') + "\"", cut), "");
  EXPECT_TRUE(cut);
}

}  // namespace
