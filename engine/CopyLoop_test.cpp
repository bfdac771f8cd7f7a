#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <objbase.h>

#include <regex>
#include <sstream>

#include "base/ErrorText.h"
#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"
#include "engine/TaskListFile.h"
#include "engine/testing/EngineTesting.h"

using namespace enginetest;
using namespace tolvatest;
using namespace std::chrono_literals;

namespace {

// A running kernel over a temp folder with src\ and out\, logging into the folder.
struct CopyFixture : ::testing::Test {
  CopyFixture() {
    std::filesystem::create_directories(FsPath(src));
    std::filesystem::create_directories(FsPath(out));
    g_log.Open(dir.File("engine.log"));
    kernel.SetListPath(dir.File("tolva.info"));
    kernel.SetObserver(&observer);
  }
  ~CopyFixture() override {
    kernel.Stop();
    g_log.Close();
  }

  int StateOf(int index) { return kernel.GetTask(index)->GetState(); }
  // Copies the sources into `folder` while their tasks are paused, stopped and resumed
  // at random; each must end identical to its source.
  void RandomPausesAndResumes(const std::vector<std::string>& sources, const std::string& folder,
                              bool verify);
  bool WaitForState(int index, int state, int timeoutMs = 60000) {
    return WaitFor([&] { return StateOf(index) == state; }, std::chrono::milliseconds(timeoutMs));
  }
  // The messages of the log, without their time stamps.
  std::vector<std::string> LogMessages() {
    std::istringstream in(ReadBytes(dir.File("engine.log")));
    std::vector<std::string> messages;
    std::regex form(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d -- (.*))");
    for (std::string line; std::getline(in, line);) {
      std::smatch m;
      EXPECT_TRUE(std::regex_match(line, m, form)) << line;
      messages.push_back(m[1]);
    }
    return messages;
  }
  std::vector<TaskListEntry> ListFileEntries() { return LoadListFile(kernel.GetListPath()); }

  TempFolder dir;
  std::string src = dir.File("src"), out = dir.File("out");
  RecordingObserver observer;
  CDownloaderKernel kernel;
};

bool GetWriteTime(const std::string& path, FILETIME& time) {
  HANDLE h = CreateFileW(base::WidePath(path).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileTime(h, nullptr, nullptr, &time);
  CloseHandle(h);
  return ok;
}

bool SetWriteTime(const std::string& path, const FILETIME& time) {
  HANDLE h = CreateFileW(base::WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = SetFileTime(h, nullptr, nullptr, &time);
  CloseHandle(h);
  return ok;
}

size_t IndexIn(const std::vector<std::string>& v, const std::string& s) {
  return static_cast<size_t>(std::find(v.begin(), v.end(), s) - v.begin());
}

}  // namespace

TEST_F(CopyFixture, CopiesEverySizeByteForByte) {
  const size_t sizes[] = {0, 1, CHUNK_SIZE, CHUNK_SIZE + 1, 20u * 1000 * 1000};
  std::vector<std::string> sources;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    sources.push_back(src + "\\f" + std::to_string(i) + ".bin");
    WriteRandomFile(sources.back(), sizes[i], static_cast<uint32_t>(i + 10));
  }
  // Sources written long ago: every copy must carry the source's time, not its own.
  const FILETIME longAgo{0x5A4C0000u, 0x01BFA000u + 0x100u};  // early 2000
  for (const std::string& source : sources) {
    base::UniqueFileHandle file(CreateFileW(base::Widen(source).c_str(), FILE_WRITE_ATTRIBUTES, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file && SetFileTime(file.Get(), nullptr, nullptr, &longAgo)) << source;
  }
  ASSERT_TRUE(kernel.AddTasks(sources, out));
  ASSERT_TRUE(kernel.Start());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(WaitForState(i, TS_COMPLETED)) << i;

  for (size_t i = 0; i < std::size(sizes); ++i) {
    std::string dest = out + "\\f" + std::to_string(i) + ".bin";
    EXPECT_TRUE(SameContent(sources[i], dest)) << sizes[i];
    EXPECT_EQ(std::filesystem::file_size(FsPath(dest)), sizes[i]);
    WIN32_FILE_ATTRIBUTE_DATA from{}, to{};
    ASSERT_TRUE(
        GetFileAttributesExW(base::Widen(sources[i]).c_str(), GetFileExInfoStandard, &from));
    ASSERT_TRUE(GetFileAttributesExW(base::Widen(dest).c_str(), GetFileExInfoStandard, &to));
    EXPECT_EQ(CompareFileTime(&to.ftLastWriteTime, &longAgo), 0) << sizes[i];
    EXPECT_EQ(CompareFileTime(&to.ftCreationTime, &from.ftCreationTime), 0) << sizes[i];
    EXPECT_TRUE(WaitFor([&] { return observer.Count("completed " + std::to_string(i)) == 1; }, 60s))
        << i;
  }
  // The last chunk's offset stays where that chunk began.
  EXPECT_EQ(kernel.GetTask(2)->offset, 0u);
  EXPECT_EQ(kernel.GetTask(3)->offset, CHUNK_SIZE);
  // Completed tasks leave the list file; their files are closed and free to open.
  EXPECT_TRUE(ListFileEntries().empty());
  HANDLE h = CreateFileW(base::Widen(out + "\\f4.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  std::vector<std::string> log = LogMessages();
  size_t added = IndexIn(log, "add task: f1"), tried = IndexIn(log, "[f1] - try to download"),
         ready = IndexIn(log, "[f1] - task is ready"),
         start = IndexIn(log, "start downloader thread"), done = IndexIn(log, "[f1] - complete.");
  ASSERT_LT(done, log.size());
  EXPECT_LT(added, tried);
  EXPECT_LT(tried, ready);
  EXPECT_LT(start, done);
  EXPECT_LT(IndexIn(log, "downloader thread have started"), done);
  // A local file answers fast: it keeps one read in flight.
  for (const std::string& message : log)
    EXPECT_EQ(message.find("a slow source"), std::string::npos) << message;
}

// Files of the user's own in the destination folder: none is written over. The same
// file (size and last-write time) is taken as it is; any other stays, and the copy
// arrives beside it, under the first free name; with the Replace option the copy takes
// the name and ends identical to its source, however long the old file was.
TEST_F(CopyFixture, AFileAlreadyThereIsNeverWrittenOverUnlessTheUserSaysSo) {
  struct Case {
    const char* name;
    size_t sourceSize, userSize;         // userSize 0: none of the user's
    std::vector<std::string> alsoThere;  // more of the user's files, each 10 bytes
    bool sameFile;                       // the user's file is a copy of the source
    bool replace;
    const char* copyName;  // where the copy must arrive
  };
  const Case cases[] = {
      {"short.bin", 300000, 1000000, {}, false, false, "short (2).bin"},
      {"empty.bin", 0, 5000, {}, false, false, "empty (2).bin"},
      {"taken.tar.gz",
       1000,
       10,
       {"taken.tar (2).gz", "taken.tar (3).gz"},
       false,
       false,
       "taken.tar (4).gz"},
      {".profile", 1000, 10, {}, false, false, ".profile (2)"},
      {"same.bin", 5 * CHUNK_SIZE + 1, 0, {}, true, false, "same.bin"},
      {"replaced.bin", 300000, 1000000, {}, false, true, "replaced.bin"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = src + "\\" + c.name, asked = out + "\\" + c.name;
    WriteRandomFile(source, c.sourceSize, 5 + index);
    std::vector<std::pair<std::string, std::string>> users;  // path, bytes
    if (c.userSize) {
      WriteRandomFile(asked, c.userSize, 50 + index);
      users.emplace_back(asked, ReadBytes(asked));
    }
    for (const std::string& other : c.alsoThere) {
      WriteRandomFile(out + "\\" + other, 10, 70 + index);
      users.emplace_back(out + "\\" + other, ReadBytes(out + "\\" + other));
    }
    if (c.sameFile) {
      ASSERT_TRUE(CopyFileW(base::Widen(source).c_str(), base::Widen(asked).c_str(), FALSE));
      users.emplace_back(asked, ReadBytes(asked));
    }
    kernel.SetReplaceExisting(c.replace);
    ASSERT_TRUE(kernel.AddTasks({source}, out));
    if (index == 0) {
      ASSERT_TRUE(kernel.Start());
    }
    ASSERT_TRUE(WaitForState(index, TS_COMPLETED));
    const std::string copy = out + "\\" + c.copyName;
    EXPECT_EQ(kernel.GetTask(index)->destination, copy);
    EXPECT_EQ(kernel.GetTask(index)->AskedDestination(), asked);
    EXPECT_TRUE(SameContent(source, copy));
    if (!c.replace) {
      for (const auto& [path, before] : users) EXPECT_EQ(ReadBytes(path), before) << path;
    }
    std::vector<std::string> log = LogMessages();
    const std::string task = "[" + CDownloadTask::NameFromSource(c.name) + "] - ";
    if (c.sameFile) {
      EXPECT_LT(IndexIn(log, task + "already there"), log.size());
      EXPECT_FALSE(kernel.GetTask(index)->madeFile);
    } else if (!c.replace) {
      EXPECT_LT(
          IndexIn(log, task + "a file of that name is already there: the copy goes to " + copy),
          log.size());
      EXPECT_TRUE(kernel.GetTask(index)->madeFile);
    } else {
      EXPECT_LT(IndexIn(log, task + "replaces " + copy + ": the options say to replace it"),
                log.size());
    }
    ++index;
  }
}

TEST_F(CopyFixture, SourceThatAppearsLaterIsRetriedAndCompletes) {
  kernel.SetWatchInterval(1);
  ASSERT_TRUE(kernel.AddTasks({src + "\\late.bin"}, out));
  ASSERT_TRUE(kernel.Start());
  EXPECT_EQ(StateOf(0), TS_NOTHING);
  // Why it waits, in the words the log uses.
  EXPECT_TRUE(WaitFor(
      [&] { return kernel.GetTask(0)->WaitReason() == base::ErrorText(ERROR_FILE_NOT_FOUND); },
      60s))
      << kernel.GetTask(0)->WaitReason();
  std::vector<char> bytes = RandomBytes(700000, 8);
  WriteBytes(src + "\\late.bin.part", {bytes.data(), bytes.size()});
  ASSERT_TRUE(MoveFileW(base::Widen(src + "\\late.bin.part").c_str(),
                        base::Widen(src + "\\late.bin").c_str()));
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  EXPECT_TRUE(SameContent(src + "\\late.bin", out + "\\late.bin"));
  // The observer hears of it once the list file has been written.
  EXPECT_TRUE(WaitFor([&] { return observer.Count("completed 0") == 1; }, 60s));
  EXPECT_EQ(kernel.GetTask(0)->WaitReason(), "");
}

TEST_F(CopyFixture, ShortenedSourcePausesAndResumesFromTheSameOffset) {
  // Random head, zeros after it: cutting the file and growing it back restores it.
  constexpr uint64_t kSize = 512ull << 20;
  std::string source = src + "\\big.bin";
  WriteRandomFile(source, 1 << 20, 9);
  ASSERT_TRUE(SetFileLength(source, kSize));
  // Only the Resume below may reopen the paused task: a watch-thread retry just after
  // the file grows back would move the offset first.
  kernel.SetWatchInterval(3600);
  ASSERT_TRUE(kernel.AddTasks({source}, out));
  ASSERT_TRUE(kernel.Start());

  FILETIME written{};
  ASSERT_TRUE(GetWriteTime(source, written));
  CDownloadTask* task = kernel.GetTask(0);
  ASSERT_TRUE(WaitFor([&] { return task->offset >= 2 * CHUNK_SIZE; }, 60s));
  // Cut well ahead of the copy, at a chunk boundary, as a share that lost the tail would.
  // The copy may run on a little while the host cuts the file, so the pause comes at
  // the first chunk boundary the shorter file no longer reaches.
  uint64_t cut = (task->offset / CHUNK_SIZE + 512) * CHUNK_SIZE;
  ASSERT_LT(cut, kSize);
  ASSERT_TRUE(HostTruncate(source, cut));
  ASSERT_TRUE(WaitFor([&] { return observer.Count("paused 0") == 1; }, 60s));
  EXPECT_EQ(StateOf(0), TS_NOTHING);
  EXPECT_EQ(task->WaitReason(), base::ErrorText(ERROR_HANDLE_EOF));
  cut = task->offset;
  EXPECT_EQ(cut % CHUNK_SIZE, 0u);
  EXPECT_LT(cut, kSize);

  ASSERT_TRUE(HostTruncate(source, kSize));
  // Grown back to the same bytes; its time too, or it would count as a new version.
  ASSERT_TRUE(SetWriteTime(source, written));
  observer.Clear();
  kernel.ResumeTask(0);
  EXPECT_EQ(task->offset, cut);
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  // Speeds of the reads before the pause may still come in; the first word on the task
  // itself is that it is ready.
  std::vector<std::string> calls = observer.Calls();
  calls.erase(std::remove_if(calls.begin(), calls.end(),
                             [](const std::string& c) { return c.rfind("speed ", 0) == 0; }),
              calls.end());
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), "ready 0");
  EXPECT_TRUE(SameContent(source, out + "\\big.bin"))
      << std::filesystem::file_size(FsPath(source)) << " "
      << std::filesystem::file_size(FsPath(out + "\\big.bin")) << " cut " << cut << " offset "
      << task->offset << " size " << task->fileSize;
  std::vector<std::string> log = LogMessages();
  EXPECT_LT(IndexIn(log, "[big] - GetOverlappedResult failed, task is paused"), log.size());
  EXPECT_EQ(IndexIn(log, "[big] - starts again from the beginning: the source has changed"),
            log.size());
  std::error_code ec;
  std::filesystem::remove(FsPath(out + "\\big.bin"), ec);
}

TEST_F(CopyFixture, WriteFailuresAreRetriedWhileTheObserverAgrees) {
  // The host's /dev/full accepts positioning and fails every write with "disk full".
  HANDLE full = CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (full == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no Z:\\dev\\full";
  CloseHandle(full);
  WriteRandomFile(src + "\\full", 1000, 11);
  observer.errorAnswers = {true, false};
  // /dev/full is there already: only the user's Replace lets a copy write into it.
  kernel.SetReplaceExisting(true);
  ASSERT_TRUE(kernel.AddTasks({src + "\\full"}, "Z:\\dev"));
  // The state shows a moment before the observer hears of it.
  ASSERT_TRUE(WaitForState(0, TS_READY));
  ASSERT_TRUE(WaitFor([&] { return observer.Count("ready 0") == 1; }, 60s));
  // Start leaves a task that is open already as it is.
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitForState(0, TS_WRITE_ERROR));
  kernel.Stop();
  EXPECT_EQ(observer.Calls(),
            (std::vector<std::string>{"ready 0", "start", "error 112", "error 112"}));
  EXPECT_EQ(kernel.GetTask(0)->WaitReason(), base::ErrorText(ERROR_DISK_FULL));

  // An observer that always agrees still gets the task stopped after three attempts.
  observer.Clear();
  observer.defaultErrorAnswer = true;
  kernel.SetWatchInterval(1);
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitForState(0, TS_WRITE_ERROR));
  EXPECT_EQ(observer.Calls(),
            (std::vector<std::string>{"start", "ready 0", "error 112", "error 112"}));
  kernel.Stop();
  std::vector<std::string> log = LogMessages();
  EXPECT_EQ(
      std::count(log.begin(), log.end(), "[full] - write failed with error 112, task is stopped"),
      2);
}

TEST_F(CopyFixture, StopJoinsThreadsInOrderAndClosesUnfinishedTasks) {
  WriteRandomFile(src + "\\done.bin", 1000, 12);
  WriteRandomFile(src + "\\held.bin", 1000, 13);
  ASSERT_TRUE(
      kernel.AddTasks({src + "\\done.bin", src + "\\missing.bin", src + "\\held.bin"}, out));
  kernel.StopTask(2);
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  ASSERT_TRUE(WaitForState(2, TS_COMPLETED));  // Start reopens stopped tasks too
  kernel.StopTask(2);
  kernel.SetWatchInterval(60);
  ASSERT_TRUE(kernel.Stop());
  EXPECT_EQ(StateOf(0), TS_COMPLETED);
  EXPECT_EQ(StateOf(1), TS_NOTHING);
  EXPECT_EQ(StateOf(2), TS_NOTHING);

  std::vector<std::string> log = LogMessages();
  // Stop's own lines come in this order; each thread ends before Stop says it joined it
  // (a thread woken by its own event may end before an earlier thread is joined).
  std::vector<std::string> order = {"stop downloading", "stopped watcher", "stopped perfomancer",
                                    "download stopped"};
  size_t last = 0;
  for (const std::string& m : order) {
    size_t at = IndexIn(log, m);
    ASSERT_LT(at, log.size()) << m;
    EXPECT_GE(at, last) << m;
    last = at;
  }
  EXPECT_LT(IndexIn(log, "watch thread has ended"), IndexIn(log, "stopped watcher"));
  EXPECT_LT(IndexIn(log, "perfomance thread has ended"), IndexIn(log, "stopped perfomancer"));
  EXPECT_EQ(log.back(), "download stopped");
  // Stopping again changes nothing and logs no second shutdown.
  EXPECT_TRUE(kernel.Stop());
  EXPECT_EQ(LogMessages().size(), log.size());
}

TEST_F(CopyFixture, LongAndNonAsciiPathsCopy) {
  // Folders deep enough that the destination is far beyond 260 characters.
  std::string deepOut = out;
  while (deepOut.size() < 300) deepOut += "\\" + std::string(40, 'd');
  std::filesystem::create_directories(FsPath(deepOut));
  std::string name =
      "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xE6\x8A\xA5\xE5\x91\x8A";  // Отчёт 报告
  std::string source = src + "\\" + name + ".bin";
  WriteRandomFile(source, 3 * CHUNK_SIZE + 7, 14);
  ASSERT_TRUE(kernel.AddTasks({source}, deepOut));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  std::string dest = deepOut + "\\" + name + ".bin";
  EXPECT_GT(dest.size(), 300u);
  EXPECT_TRUE(SameContent(source, dest));
  EXPECT_EQ(kernel.GetTask(0)->name, name);
  std::vector<std::string> log = LogMessages();
  EXPECT_LT(IndexIn(log, "[" + name + "] - complete."), log.size());
}

TEST_F(CopyFixture, AFileAskedForAgainEndsIdenticalToItsSourceAsItIsNow) {
  kernel.SetWatchInterval(1);
  std::string source = src + "\\again.bin", copy = out + "\\again.bin";
  WriteRandomFile(source, 5 * CHUNK_SIZE + 17, 20);
  ASSERT_TRUE(kernel.AddTasks({source}, out));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitFor([&] { return observer.Count("completed 0") == 1; }, 60s));

  // The copy was deleted, then the file is downloaded again: it comes whole, not as
  // zeros with the last chunk.
  ASSERT_TRUE(DeleteFileW(base::Widen(copy).c_str()));
  EXPECT_FALSE(kernel.AddTasks({source}, out));  // the finished task is reused
  ASSERT_TRUE(WaitFor([&] { return observer.Count("completed 0") == 2; }, 60s));
  EXPECT_TRUE(SameContent(source, copy));

  // A newer version of the file into the same folder: no mix of old and new bytes.
  WriteRandomFile(source, 5 * CHUNK_SIZE + 17, 21);
  EXPECT_FALSE(kernel.AddTasks({source}, out));
  ASSERT_TRUE(WaitFor([&] { return observer.Count("completed 0") == 3; }, 60s));
  EXPECT_TRUE(SameContent(source, copy));

  // Paused halfway, the source changes, then the copy goes on: it starts over.
  std::string big = src + "\\big.bin", bigCopy = out + "\\big.bin";
  WriteRandomFile(big, 60u << 20, 22);
  ASSERT_TRUE(kernel.AddTasks({big}, out));
  CDownloadTask* task = kernel.GetTask(1);
  ASSERT_TRUE(WaitFor([&] { return task->offset >= 8 * CHUNK_SIZE; }, 60s));
  kernel.StopTask(1);
  // Once the pool has closed the source, another program may rewrite it.
  ASSERT_TRUE(WaitFor(
      [&] {
        HANDLE h = CreateFileW(base::Widen(big).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
      },
      60s));
  WriteRandomFile(big, 60u << 20, 23);
  kernel.ResumeTask(1);
  ASSERT_TRUE(WaitForState(1, TS_COMPLETED));
  EXPECT_TRUE(SameContent(big, bigCopy));
  std::vector<std::string> log = LogMessages();
  EXPECT_LT(IndexIn(log, "[again] - starts again from the beginning: it had completed"),
            log.size());
  EXPECT_LT(IndexIn(log, "[big] - starts again from the beginning: the source has changed"),
            log.size());
}

// Pauses, stops and resumes at random moments while chunks are read ahead and written,
// and while finished copies are read back to verify them: every copy still ends
// identical to its source (and verified, when copies are).
TEST_F(CopyFixture, RandomPausesAndResumesMidCopyLoseAndMixNothing) {
  constexpr int kFiles = 3;
  ASSERT_TRUE(kernel.Start());
  for (int verify = 0; verify < 2; ++verify) {
    SCOPED_TRACE(verify ? "verified" : "not verified");
    const std::string prefix = verify ? "v" : "r";
    std::vector<std::string> sources;
    for (int i = 0; i < kFiles; ++i) {
      sources.push_back(src + "\\" + prefix + std::to_string(i) + ".bin");
      WriteRandomFile(sources.back(), 24u * 1000 * 1000 + 7u * static_cast<unsigned>(i),
                      static_cast<uint32_t>(50 + i));
    }
    RandomPausesAndResumes(sources, out, verify != 0);
    // A Resume of a finished task copies its last chunk again: every completion of a
    // verified copy comes with its "verified", and none of the others has one.
    for (int i = 0; i < kFiles; ++i) {
      const std::string task = "[" + prefix + std::to_string(i) + "] - ";
      size_t verified = 0, completed = 0;
      EXPECT_TRUE(WaitFor(
          [&] {
            verified = completed = 0;
            for (const std::string& line : LogMessages()) {
              // "verified", or "verified from byte N, ..." after a Resume that went on
              verified += line.rfind(task + "verified", 0) == 0;
              completed += line == task + "complete.";
            }
            return completed > 0 && verified == (verify ? completed : 0);
          },
          10s))
          << task << verified << " verified, " << completed << " complete";
    }
  }
}

void CopyFixture::RandomPausesAndResumes(const std::vector<std::string>& sources,
                                         const std::string& folder, bool verify) {
  const int kFiles = static_cast<int>(sources.size());
  const int first = kernel.GetTaskCount();
  kernel.SetVerifyCopies(verify);
  std::filesystem::create_directories(FsPath(folder));
  ASSERT_TRUE(kernel.AddTasks(sources, folder));
  std::mt19937 random(20261208);
  for (int step = 0; step < 60; ++step) {
    int index = first + static_cast<int>(random() % kFiles);
    switch (random() % 3) {
      case 0:
        kernel.PauseTask(index);
        break;
      case 1:
        kernel.StopTask(index);
        break;
      default:
        kernel.ResumeTask(index);
        break;
    }
    Sleep(random() % 15);
  }
  for (int i = 0; i < kFiles; ++i) kernel.ResumeTask(first + i);
  for (int i = 0; i < kFiles; ++i) ASSERT_TRUE(WaitForState(first + i, TS_COMPLETED)) << i;
  for (int i = 0; i < kFiles; ++i)
    EXPECT_TRUE(
        SameContent(sources[static_cast<size_t>(i)], folder + "\\r" + std::to_string(i) + ".bin"))
        << i;
}

TEST_F(CopyFixture, AListThatCannotBeSavedIsLoggedOncePerReason) {
  const std::string listFolder = dir.File("list");
  kernel.SetListPath(listFolder + "\\tolva.info");  // the folder is not there yet
  // Sources that never appear: their tasks stay unfinished and keep the list busy.
  ASSERT_TRUE(kernel.AddTasks({src + "\\a.bin"}, out));
  ASSERT_TRUE(kernel.AddTasks({src + "\\b.bin"}, out));
  kernel.SaveTaskList();
  auto count = [&](const std::string& start) {
    auto messages = LogMessages();
    return std::count_if(messages.begin(), messages.end(),
                         [&](const std::string& m) { return m.rfind(start, 0) == 0; });
  };
  const std::string cannot = "The task list cannot be saved to " + listFolder + "\\tolva.info: ";
  EXPECT_EQ(count(cannot), 1);

  std::filesystem::create_directories(FsPath(listFolder));
  ASSERT_TRUE(kernel.AddTasks({src + "\\c.bin"}, out));
  EXPECT_EQ(count("The task list is saved again to " + listFolder + "\\tolva.info."), 1);
  EXPECT_EQ(LoadListFile(kernel.GetListPath()).size(), 3u);

  // A new failure after a good save is news again.
  std::filesystem::remove_all(FsPath(listFolder));
  ASSERT_TRUE(kernel.AddTasks({src + "\\d.bin"}, out));
  EXPECT_EQ(count(cannot), 2);
}

namespace {

// A folder among the sources becomes a task per file of its tree, with its empty
// folders made; listed again (after a restart cut it short), it passes over the files
// whose copies are already whole and the tasks already listed.
TEST_F(CopyFixture, AFolderIsCopiedAsItsTreeAndListsAgainWithoutRepeats) {
  const std::string root = src + "\\Папка";
  const std::vector<std::string> files = {"\\a.bin", "\\sub\\b.bin", "\\sub\\глубже\\c.txt",
                                          "\\NUL.txt", "\\trail."};
  // Names Windows reserves or trims arrive under names that exist as they read.
  const std::vector<std::string> copies = {"\\a.bin", "\\sub\\b.bin", "\\sub\\глубже\\c.txt",
                                           "\\_NUL.txt", "\\trail"};
  std::filesystem::create_directories(FsPath(root + "\\sub\\глубже"));
  std::filesystem::create_directories(FsPath(root + "\\empty"));
  for (size_t i = 0; i < files.size(); ++i)
    WriteRandomFile(root + files[i], 3 * CHUNK_SIZE / 2 + i, static_cast<uint32_t>(i + 1));

  ASSERT_TRUE(kernel.AddTasks({root + "\\"}, out));  // a folder as the shell names it
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitFor(
      [&] {
        if (kernel.GetTaskCount() != static_cast<int>(files.size())) return false;
        for (int i = 0; i < kernel.GetTaskCount(); ++i)
          if (StateOf(i) != TS_COMPLETED) return false;
        return true;
      },
      60s));
  for (size_t i = 0; i < files.size(); ++i)
    EXPECT_TRUE(SameContent(root + files[i], out + "\\Папка" + copies[i])) << files[i];
  EXPECT_TRUE(std::filesystem::is_directory(FsPath(out + "\\Папка\\empty")));
  std::vector<std::string> log = LogMessages();
  EXPECT_LT(IndexIn(log, "[Папка] - folder listed: 5 files"), log.size());

  // One file changed and one new: only those two are copied when the folder comes again,
  // the changed one by its finished task, the new one by a task of its own.
  WriteRandomFile(root + "\\sub\\b.bin", 100, 9);
  WriteRandomFile(root + "\\sub\\new.bin", 100, 10);
  const int before = kernel.GetTaskCount();
  ASSERT_TRUE(kernel.AddTasks({root}, out));
  ASSERT_TRUE(WaitFor(
      [&] {
        if (kernel.GetTaskCount() != before + 1) return false;
        for (int i = 0; i < kernel.GetTaskCount(); ++i)
          if (StateOf(i) != TS_COMPLETED) return false;
        return true;
      },
      60s));
  EXPECT_TRUE(SameContent(root + "\\sub\\b.bin", out + "\\Папка\\sub\\b.bin"));
  EXPECT_TRUE(SameContent(root + "\\sub\\new.bin", out + "\\Папка\\sub\\new.bin"));
  log = LogMessages();
  EXPECT_EQ(std::count(log.begin(), log.end(), "[Папка] - folder listed: 6 files"), 1);

  // The folder into itself: its copy's own tree, growing inside it (there already, as at
  // a second try), is left out.
  std::filesystem::create_directory(FsPath(root + "\\Папка"));
  const int count = kernel.GetTaskCount();
  ASSERT_TRUE(kernel.AddTasks({root}, root));
  ASSERT_TRUE(WaitFor(
      [&] {
        if (kernel.GetTaskCount() != count + 6) return false;
        for (int i = 0; i < kernel.GetTaskCount(); ++i)
          if (StateOf(i) != TS_COMPLETED) return false;
        return true;
      },
      60s));
  for (size_t i = 0; i < files.size(); ++i)
    EXPECT_TRUE(SameContent(root + files[i], root + "\\Папка" + copies[i])) << files[i];
  EXPECT_FALSE(std::filesystem::exists(FsPath(root + "\\Папка\\Папка")));
  log = LogMessages();
  EXPECT_LT(IndexIn(log, "[Папка] - left out Папка\\Папка: it is where the folder is copied to"),
            log.size());
}

}  // namespace
