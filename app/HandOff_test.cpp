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
#include "app/HandOffReader.h"
#include "app/HandOffWriter.h"
#include "app/InstanceArea.h"
#include "base/Utf8.h"
#include "testing/Testing.h"
#include "winui/MessageWindow.h"

namespace {

using Files = std::vector<std::string>;

using apptest::PrivateName;
using tolvatest::WaitFor;

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

CHandOffWriter::Timeouts Short() { return {300}; }
using Outcome = CHandOffWriter::Outcome;

bool MessageWaits() {
  MSG msg;
  return PeekMessageW(&msg, nullptr, WM_HANDOFF, WM_HANDOFF, PM_NOREMOVE) != FALSE;
}
void DropMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_HANDOFF, WM_HANDOFF, PM_REMOVE)) {
  }
}

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
  ASSERT_EQ(writer.Send("\"" + src + ";C:\\b.txt;\" \"E:\\\"", [&] { return first.ThreadId(); }),
            Outcome::kTaken);
  ASSERT_TRUE(WaitFor([&] { return first.Count() == 1; }));
  auto got = first.Received();
  EXPECT_EQ(got[0].first, Files({src, "C:\\b.txt"}));
  EXPECT_EQ(got[0].second, "E:");  // backslash-quote reads as a quote, as on a command line
  EXPECT_TRUE(log.empty());

  // A second message without a new text queues nothing.
  PostThreadMessageW(first.ThreadId(), WM_HANDOFF, 0, 0);
  ASSERT_EQ(writer.Send("", [&] { return first.ThreadId(); }), Outcome::kTaken);  // an empty start
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
  CHandOffWriter writer(name, {10000}, [&](const std::string& m) { log.push_back(m); });
  ASSERT_EQ(writer.Send("\"C:\\late.txt\"", [&] { return first.ThreadId(); }), Outcome::kTaken);
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
      if (writer.Send(text, [&] { return first.ThreadId(); }) == Outcome::kTaken) ++sent;
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
    CHandOffWriter writer(name, {3000}, {});
    result = writer.Send("\"x\"", [&] { return self; }) == Outcome::kTaken ? 1 : 0;
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

TEST(HandOff, AnUntakenTextIsNeverReplacedAndEveryWaitIsBounded) {
  const std::wstring name = PrivateName(L"area");
  std::vector<std::string> log;
  std::mutex logLock;
  auto record = [&](const std::string& m) {
    std::lock_guard<std::mutex> hold(logLock);
    log.push_back(m);
  };

  // No running instance at all.
  EXPECT_EQ(CHandOffWriter(name, Short(), record).Send("\"x\"", [] { return DWORD(0); }),
            Outcome::kFailed);
  ASSERT_EQ(log.size(), 1u);

  // An instance that is not taking texts: the first writer waits with its text in the
  // area; the next one gives up rather than replace it.
  CHandOffArea area(name);
  ASSERT_TRUE(area.Create());
  EnsureQueue();
  DropMessages();
  const DWORD self = GetCurrentThreadId();
  std::atomic<int> oldOutcome{-1};
  std::thread oldWriter([&] {
    oldOutcome = static_cast<int>(
        CHandOffWriter(name, {20000}, record).Send("\"old\"", [&] { return self; }));
  });
  ASSERT_TRUE(WaitFor(MessageWaits));  // written and told
  EXPECT_EQ(CHandOffWriter(name, Short(), record).Send("\"new\"", [&] { return self; }),
            Outcome::kFailed);
  std::string text;
  ASSERT_TRUE(area.Take(text));
  EXPECT_EQ(text, "\"old\"");
  oldWriter.join();
  EXPECT_EQ(oldOutcome.load(), static_cast<int>(Outcome::kTaken));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[1].find("Hand-off failed"), std::string::npos) << log[1];

  // A text nobody takes within the limit is withdrawn, and the writer says so.
  EXPECT_EQ(CHandOffWriter(name, Short(), record).Send("\"late\"", [&] { return self; }),
            Outcome::kFailed);
  EXPECT_FALSE(area.Take(text));
  ASSERT_EQ(log.size(), 3u);
  DropMessages();
}

TEST(HandOff, AWriterThatFindsTheInstanceGoneWithdrawsItsTextAndKeepsIt) {
  const std::wstring name = PrivateName(L"area");
  CHandOffArea area(name);
  ASSERT_TRUE(area.Create());
  EnsureQueue();
  DropMessages();
  const DWORD self = GetCurrentThreadId();
  std::atomic<bool> gone{false};
  std::string unsent;
  std::thread closer([&] {
    Sleep(200);
    gone = true;  // the instance closes with the text still in the area
  });
  CHandOffWriter writer(name, {20000}, {});
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(
      writer.Send(
          "\"C:\\a.txt\" \"D:\\in\"", [&] { return self; }, [&] { return gone.load(); }, &unsent),
      Outcome::kInstanceGone);
  EXPECT_LT(GetTickCount64() - start, 5000u);
  closer.join();
  EXPECT_EQ(unsent, "\"C:\\a.txt\" \"D:\\in\"");
  std::string text;
  EXPECT_FALSE(area.Take(text));  // withdrawn: nobody reads it twice
  DropMessages();
}

TEST(HandOff, AReaderThreadTakesTextsAtOnceWhileTheWindowIsBusy) {
  const std::wstring name = PrivateName(L"area");
  CHandOffArea area(name);
  ASSERT_TRUE(area.Create());
  EnsureQueue();
  DropMessages();
  // This thread plays the window and pumps nothing while the writers run.
  CHandOffReader reader(area, GetCurrentThreadId());
  ASSERT_TRUE(reader.Start());
  const ULONGLONG start = GetTickCount64();
  for (int i = 0; i < 5; ++i)
    ASSERT_EQ(CHandOffWriter(name, {5000}, {})
                  .Send("\"C:\\" + std::to_string(i) + "\"", [] { return DWORD(0); }),
              Outcome::kTaken)
        << i;
  EXPECT_LT(GetTickCount64() - start, 3000u);
  EXPECT_TRUE(MessageWaits());
  // Once a window is named, it is told instead of the thread.
  DropMessages();
  int told = 0;
  winui::MessageWindow window(WM_HANDOFF, [&] { ++told; });
  ASSERT_TRUE(window.Create());
  reader.NotifyWindow(window.Hwnd());
  ASSERT_EQ(CHandOffWriter(name, {5000}, {}).Send("\"C:\\5\"", [] { return DWORD(0); }),
            Outcome::kTaken);
  EXPECT_TRUE(tolvatest::PumpUntil([&] { return told == 1; }));
  reader.Stop();
  std::string text;
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(reader.Next(text)) << i;
    EXPECT_EQ(text, "\"C:\\" + std::to_string(i) + "\"");
  }
  EXPECT_FALSE(reader.Next(text));
  DropMessages();
}

TEST(HandOff, TooLongTextIsSentAsSeveralThatKeepEverySourceAndTheFolder) {
  // Cyrillic and CJK names: the area's limit is in bytes, three a character for CJK.
  const std::string folder = "D:\\\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0";
  std::string text = "\"";
  Files all;
  for (int i = 0; all.size() < 3000; ++i) {
    all.push_back("\\\\server\\share\\\xE5\xA0\xB1\xE5\x91\x8A\\file" + std::to_string(i) + ".dat");
    text += all.back() + ";";
  }
  text += "\" \"" + folder + "\"";
  ASSERT_GT(text.size(), size_t{HANDOFF_AREA_SIZE});

  size_t dropped = 1;
  const std::vector<std::string> texts = CHandOffWriter::SplitText(text, dropped);
  EXPECT_EQ(dropped, 0u);
  ASSERT_GE(texts.size(), 2u);
  Files joined;
  for (const std::string& part : texts) {
    EXPECT_LE(part.size(), handoff::kMaxTextBytes);
    auto info = CDownloaderCommandLineInfo::FromHandOffText(part);
    EXPECT_EQ(info.m_folder, folder);
    joined.insert(joined.end(), info.m_files.begin(), info.m_files.end());
  }
  EXPECT_EQ(joined, all);
  // Full parts: the next source would not have fitted in the first.
  EXPECT_GT(texts[0].size() +
                all[CDownloaderCommandLineInfo::FromHandOffText(texts[0]).m_files.size()].size() +
                1,
            handoff::kMaxTextBytes);

  // Through the area, every part arrives, in order, and the area's end is never overrun.
  const std::wstring name = PrivateName(L"area");
  FirstInstance first(name);
  std::vector<std::string> log;
  CHandOffWriter writer(name, Short(), [&](const std::string& m) { log.push_back(m); });
  ASSERT_EQ(writer.Send(text, [&] { return first.ThreadId(); }), Outcome::kTaken);
  ASSERT_TRUE(WaitFor([&] { return first.Count() == texts.size(); }));
  Files received;
  for (const auto& [files, where] : first.Received()) {
    EXPECT_EQ(where, folder);
    received.insert(received.end(), files.begin(), files.end());
  }
  EXPECT_EQ(received, all);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("sent as"), std::string::npos);

  // A text that fits is passed byte for byte.
  EXPECT_EQ(CHandOffWriter::SplitText("\"a\" \"b\"", dropped),
            std::vector<std::string>{"\"a\" \"b\""});
  // A source too long for the area even alone is left out and counted; the rest go.
  const std::vector<std::string> some =
      CHandOffWriter::SplitText("\"" + std::string(70000, 'x') + ";C:\\ok.txt;\"", dropped);
  EXPECT_EQ(dropped, 1u);
  ASSERT_EQ(some.size(), 1u);
  EXPECT_EQ(CDownloaderCommandLineInfo::FromHandOffText(some[0]).m_files, Files{"C:\\ok.txt"});
}

}  // namespace
