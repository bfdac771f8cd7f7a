#include "engine/EventLog.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "engine/testing/EngineTesting.h"

using namespace enginetest;
using namespace tolvatest;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

TEST(EventLog, FormatsDateTimeAndMessage) {
  SYSTEMTIME t{};
  t.wYear = 2003;
  t.wMonth = 12;
  t.wDay = 6;
  t.wHour = 14;
  t.wMinute = 5;
  t.wSecond = 9;
  EXPECT_EQ(CEventLog::FormatLine(t, "[report] - task is ready"),
            "12/06/03 14:05:09 -- [report] - task is ready\n");
  t.wYear = 2010;
  t.wMonth = 1;
  t.wDay = 2;
  t.wHour = 3;
  EXPECT_EQ(CEventLog::FormatLine(t, ""), "01/02/10 03:05:09 -- \n");
}

TEST(EventLog, LongLineIsCutButKeepsItsLineFeed) {
  SYSTEMTIME t{};
  t.wYear = 2020;
  t.wMonth = 1;
  t.wDay = 1;
  std::string line = CEventLog::FormatLine(t, std::string(5000, 'x').c_str());
  EXPECT_EQ(line.size(), CEventLog::kMaxLine);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);

  // A cut never splits a multi-byte character.
  std::string cyrillic;
  for (int i = 0; i < 1000; ++i) cyrillic += "\xD0\x96";  // U+0416, two bytes each
  line = CEventLog::FormatLine(t, cyrillic.c_str());
  ASSERT_LE(line.size(), CEventLog::kMaxLine);
  std::string body = line.substr(21, line.size() - 22);
  EXPECT_EQ(body.size() % 2, 0u);
  EXPECT_EQ(base::Narrow(base::Widen(body)), body);
}

TEST(EventLog, WritesNothingUntilOpenAndAppendsAcrossOpens) {
  TempFolder dir;
  std::string path = dir.File("tolva.exe.log");
  {
    CEventLog log;
    log.Write("before open");
    EXPECT_FALSE(FileExists(path));
    ASSERT_TRUE(log.Open(path));
    log.Write("first run");
    log.Write(nullptr);
    {
      CEventLog::Batch batch(log);
      {
        CEventLog::Batch inner(log);
        log.Write("batched");
      }
      EXPECT_EQ(Lines(ReadBytes(path)).size(), 1u);  // held until the outer batch ends
    }
  }
  {
    CEventLog log;
    ASSERT_TRUE(log.Open(path));
    log.Printf("[%s] - %s", "report", "second run");
  }
  std::vector<std::string> lines = Lines(ReadBytes(path));
  ASSERT_EQ(lines.size(), 3u);
  std::regex form(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d -- (.*))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, form)) << lines[0];
  EXPECT_EQ(m[1], "first run");
  ASSERT_TRUE(std::regex_match(lines[1], m, form)) << lines[1];
  EXPECT_EQ(m[1], "batched");
  ASSERT_TRUE(std::regex_match(lines[2], m, form)) << lines[2];
  EXPECT_EQ(m[1], "[report] - second run");
}

TEST(EventLog, FailedOpenLeavesLoggingOff) {
  TempFolder dir;
  CEventLog log;
  EXPECT_FALSE(log.Open(dir.File("missing-folder\\x.log")));
  EXPECT_FALSE(log.IsOpen());
  log.Write("nothing");  // must not crash or create anything
  EXPECT_FALSE(FileExists(dir.File("missing-folder")));
}

TEST(EventLog, DefaultPathIsTheModulePathWithLogAppended) {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  CEventLog log;
  ASSERT_TRUE(log.Open());
  EXPECT_EQ(log.Path(), base::Narrow(module) + ".log");
  log.Close();
  DeleteFileW(base::Widen(log.Path()).c_str());
}

TEST(EventLog, LinesOfManyThreadsNeverMixAndOthersCanRead) {
  TempFolder dir;
  std::string path = dir.File("threads.log");
  CEventLog log;
  ASSERT_TRUE(log.Open(path));
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&log, t] {
      // Odd threads write in batches of a few lines.
      for (int i = 0; i < kLines;) {
        std::unique_ptr<CEventLog::Batch> batch;
        if (t % 2) batch = std::make_unique<CEventLog::Batch>(log);
        for (int k = 0; k < 7 && i < kLines; ++k, ++i)
          log.Printf("thread %d line %d %s", t, i, std::string(100 + t * 50, 'a' + t).c_str());
      }
    });
  for (auto& th : threads) th.join();

  // Readable while the log is still open.
  std::vector<std::string> lines = Lines(ReadBytes(path));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::regex form(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d -- thread (\d) line (\d+) ([a-z]+))");
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, form)) << line;
    int t = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next[t]++);  // each thread's lines keep their order
    EXPECT_EQ(m[3], std::string(100 + t * 50, 'a' + t));
  }
}
