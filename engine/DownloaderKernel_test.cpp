#include "engine/DownloaderKernel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <objbase.h>

#include "engine/EventLog.h"
#include "engine/KernelHost.h"
#include "engine/TaskListFile.h"
#include "engine/testing/EngineTesting.h"

using namespace enginetest;
using namespace tolvatest;
using namespace std::chrono_literals;

namespace {

// A kernel whose task list file lives in the test's own folder.
struct KernelFixture : ::testing::Test {
  KernelFixture() {
    kernel.SetListPath(dir.File("tolva.info"));
    kernel.SetObserver(&observer);
  }
  std::vector<TaskListEntry> ListFileEntries() { return LoadListFile(kernel.GetListPath()); }

  TempFolder dir;
  RecordingObserver observer;
  CDownloaderKernel kernel;
};

}  // namespace

TEST(DownloaderKernelSettings, DefaultsAndSetters) {
  CDownloaderKernel kernel;
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::string program = base::Narrow(module);
  ASSERT_EQ(program.substr(program.size() - 4), ".exe");
  EXPECT_EQ(kernel.GetListPath(), program.substr(0, program.size() - 4) + ".info");

  EXPECT_EQ(kernel.GetVersion(), "1.4.0");
  EXPECT_EQ(kernel.GetSpeedUnit(), 2);
  EXPECT_FLOAT_EQ(kernel.GetSpeedFactor(), 1024.0f);
  kernel.SetSpeedUnit(1);
  EXPECT_EQ(kernel.GetSpeedUnit(), 1);
  EXPECT_FLOAT_EQ(kernel.GetSpeedFactor(), 1.024f);
  kernel.SetSpeedUnit(3);
  kernel.SetSpeedUnit(-1);
  EXPECT_EQ(kernel.GetSpeedUnit(), 1);
  EXPECT_FLOAT_EQ(kernel.GetSpeedFactor(), 1.024f);
  kernel.SetSpeedUnit(0);
  EXPECT_FLOAT_EQ(kernel.GetSpeedFactor(), 0.001024f);

  EXPECT_TRUE(kernel.SetDefaultFolder("C:\\Downloads\\"));
  EXPECT_EQ(kernel.GetDefaultFolder(), "C:\\Downloads");
  kernel.SetDefaultFolder("C:\\");
  EXPECT_EQ(kernel.GetDefaultFolder(), "C:");
  kernel.SetDefaultFolder("D:\\In");
  EXPECT_EQ(kernel.GetDefaultFolder(), "D:\\In");
}

TEST_F(KernelFixture, AddTasksBuildsDestinationsAndNames) {
  EXPECT_TRUE(kernel.AddTasks({}, dir.Path()));
  EXPECT_EQ(kernel.GetTaskCount(), 0);

  // Sources that do not exist (yet) still make tasks; they wait for the watch thread.
  kernel.SetDefaultFolder(dir.Path() + "\\");
  ASSERT_TRUE(kernel.AddTasks({"Q:\\share\\report.final.doc", "Q:\\share\\archive"}, ""));
  ASSERT_EQ(kernel.GetTaskCount(), 2);
  EXPECT_EQ(kernel.GetTask(0)->destination, dir.Path() + "\\report.final.doc");
  EXPECT_EQ(kernel.GetTask(0)->name, "report.final");
  EXPECT_EQ(kernel.GetTask(1)->destination, dir.Path() + "\\archive");
  EXPECT_EQ(kernel.GetTask(1)->name, "archive");
  EXPECT_EQ(kernel.GetTask(0)->GetState(), TS_NOTHING);
  EXPECT_EQ(kernel.GetTask(2), nullptr);
  EXPECT_EQ(kernel.GetTask(-1), nullptr);

  // An explicit folder wins over the default one; it is written as Windows resolves it.
  ASSERT_TRUE(kernel.AddTasks({"Q:\\x.bin"}, dir.Path() + "\\sub\\"));
  EXPECT_EQ(kernel.GetTask(2)->destination, dir.Path() + "\\sub\\x.bin");
  EXPECT_TRUE(observer.Calls().empty());  // nothing opened, nothing to report
}

TEST_F(KernelFixture, NoFolderAnywhereAsksTheObserver) {
  observer.defaultErrorAnswer = false;
  EXPECT_FALSE(kernel.AddTasks({"Q:\\missing\\a.txt"}, ""));
  EXPECT_EQ(kernel.GetTaskCount(), 0);
  ASSERT_EQ(observer.Calls(), std::vector<std::string>{"error 4294901761"});

  observer.defaultErrorAnswer = true;
  EXPECT_TRUE(kernel.AddTasks({"Q:\\missing\\a.txt"}, ""));
  ASSERT_EQ(kernel.GetTaskCount(), 1);
  EXPECT_EQ(kernel.GetTask(0)->destination, "\\a.txt");

  // An inactive observer is not asked: the add goes on.
  observer.active = false;
  observer.Clear();
  EXPECT_TRUE(kernel.AddTasks({"Q:\\missing\\b.txt"}, ""));
  EXPECT_EQ(kernel.GetTaskCount(), 2);
  EXPECT_TRUE(observer.Calls().empty());
}

// One destination, one task: the same source into one folder, however the folder is
// spelt, finds its task; another file of the same name is a task of its own (its copy
// goes beside, when it opens).
TEST_F(KernelFixture, TheSameSourceFindsItsTaskAndAnotherOfTheSameNameIsANewTask) {
  std::string src1 = dir.File("one"), src2 = dir.File("two");
  std::string out = dir.File("the downloads");
  ASSERT_TRUE(CreateDirectoryW(base::WidePath(out).c_str(), nullptr));
  wchar_t shortOut[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameW(base::WidePath(out).c_str(), shortOut, MAX_PATH), 0u);
  ASSERT_NE(base::Narrow(shortOut).find('~'), std::string::npos) << base::Narrow(shortOut);
  ASSERT_TRUE(kernel.AddTasks({src1 + "\\a.bin", src1 + "\\b.bin"}, out));
  kernel.GetTask(0)->offset = 5 * CHUNK_SIZE;

  // A drive's root as kept ("C:") is that root, not the drive's current folder.
  EXPECT_TRUE(kernel.AddTasks({"Q:\\x\\root.bin"}, "C:"));
  EXPECT_EQ(kernel.GetTask(2)->destination, "C:\\root.bin");
  ASSERT_TRUE(kernel.DeleteTask(2));
  const std::string spellings[] = {out + "\\",
                                   out + "\\\\",
                                   out + "\\.",
                                   out + "\\sub\\..",
                                   dir.Path() + "/the downloads/",
                                   base::Narrow(shortOut)};
  for (const std::string& folder : spellings) {
    EXPECT_FALSE(kernel.AddTasks({src1 + "\\A.BIN"}, folder)) << folder;
    ASSERT_EQ(kernel.GetTaskCount(), 2) << folder;
  }
  EXPECT_EQ(kernel.GetTask(0)->source, src1 + "\\A.BIN");
  EXPECT_EQ(kernel.GetTask(0)->destination, out + "\\a.bin");
  EXPECT_EQ(kernel.GetTask(0)->offset, 5u * CHUNK_SIZE);  // goes on where it stood

  // Other files of those names, in the same call too: each a task, asking for the name.
  EXPECT_TRUE(kernel.AddTasks(
      {src2 + "\\a.bin", src2 + "\\B.bin", src1 + "\\c.bin", src2 + "\\c.bin"}, out));
  ASSERT_EQ(kernel.GetTaskCount(), 6);
  EXPECT_EQ(kernel.GetTask(2)->AskedDestination(), out + "\\a.bin");
  EXPECT_EQ(kernel.GetTask(4)->AskedDestination(), out + "\\c.bin");
  EXPECT_EQ(kernel.GetTask(5)->AskedDestination(), out + "\\c.bin");
  EXPECT_EQ(kernel.GetTask(0)->source, src1 + "\\A.BIN");

  // The same source twice in one call is one task; a deleted task no longer claims
  // its destination; a non-ASCII name folds too.
  ASSERT_TRUE(kernel.DeleteTask(0));
  EXPECT_TRUE(
      kernel.AddTasks({src1 + "\\a.bin", src1 + "\\a.bin", src1 + "\\\xC3\xA9t\xC3\xA9.bin"}, out));
  ASSERT_EQ(kernel.GetTaskCount(), 7);
  EXPECT_FALSE(kernel.AddTasks({src1 + "\\\xC3\x89T\xC3\x89.BIN"}, out));
  EXPECT_EQ(kernel.GetTaskCount(), 7);
}

TEST_F(KernelFixture, PauseStopAndResumeWithoutThreads) {
  std::string src = dir.File("src"), out = dir.File("out");
  std::filesystem::create_directories(FsPath(src));
  std::filesystem::create_directories(FsPath(out));
  WriteRandomFile(src + "\\a.bin", 1000, 1);
  WriteRandomFile(src + "\\b.bin", 1000, 2);
  ASSERT_TRUE(kernel.AddTasks({src + "\\a.bin", src + "\\b.bin"}, out));
  // Opens run on pool threads: AddTasks has returned before they are done.
  ASSERT_TRUE(WaitFor([&] { return observer.Calls().size() == 2; }, 60s));
  auto calls = observer.Calls();
  std::sort(calls.begin(), calls.end());
  EXPECT_EQ(calls, (std::vector<std::string>{"ready 0", "ready 1"}));
  EXPECT_EQ(kernel.GetTask(0)->GetState(), TS_READY);
  EXPECT_EQ(kernel.GetTask(0)->fileSize, 1000u);

  // An open source cannot be written by others; its destination cannot be read.
  HANDLE h = CreateFileW(base::Widen(src + "\\a.bin").c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  h = CreateFileW(base::Widen(out + "\\a.bin").c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);

  observer.Clear();
  EXPECT_TRUE(kernel.PauseTask(0));
  kernel.StopTask(1);
  EXPECT_EQ(kernel.GetTask(0)->GetState(), TS_NOTHING);
  EXPECT_EQ(kernel.GetTask(1)->GetState(), TS_WRITE_ERROR);
  EXPECT_EQ(kernel.GetTask(1)->GetStateName(), "write error");
  EXPECT_EQ(observer.Calls(), (std::vector<std::string>{"paused 0", "paused 1"}));

  // Closed (on a pool thread): the source is free for writers again.
  ASSERT_TRUE(WaitFor(
      [&] {
        HANDLE probe =
            CreateFileW(base::Widen(src + "\\a.bin").c_str(), GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return false;
        CloseHandle(probe);
        return true;
      },
      60s));
  h = CreateFileW(base::Widen(src + "\\a.bin").c_str(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  observer.Clear();
  kernel.ResumeTask(1);
  ASSERT_TRUE(WaitFor([&] { return kernel.GetTask(1)->GetState() == TS_READY; }, 60s));
  EXPECT_EQ(observer.Calls(), std::vector<std::string>{"ready 1"});

  // Out-of-range indexes change nothing.
  EXPECT_FALSE(kernel.PauseTask(2));
  EXPECT_FALSE(kernel.DeleteTask(-1));
  kernel.StopTask(9);
  kernel.OpenTask(9);
  EXPECT_EQ(observer.Calls(), std::vector<std::string>{"ready 1"});
}

// Delete takes away only a file its task made: the user's own file of that name,
// which a task waiting for its source never touched, stays, and the log says which.
TEST_F(KernelFixture, DeleteShiftsLaterTasksAndRemovesOnlyTheFileTheTaskMade) {
  g_log.Open(dir.File("engine.log"));
  std::string src = dir.File("src"), out = dir.File("out");
  std::filesystem::create_directories(FsPath(src));
  std::filesystem::create_directories(FsPath(out));
  WriteRandomFile(src + "\\t0.bin", 1000, 1);
  WriteRandomFile(src + "\\t1.bin", 1000, 2);
  WriteRandomFile(out + "\\t1.bin", 10, 3);  // the user's own
  const std::string user1 = ReadBytes(out + "\\t1.bin");
  WriteRandomFile(out + "\\gone.bin", 10, 4);  // its source is missing: the task waits
  ASSERT_TRUE(kernel.AddTasks({src + "\\t0.bin", src + "\\t1.bin", "Q:\\s\\gone.bin"}, out));
  ASSERT_TRUE(
      WaitFor([&] { return observer.Count("ready 0") + observer.Count("ready 1") == 2; }, 60s));
  CDownloadTask* t1 = kernel.GetTask(1);
  CDownloadTask* t2 = kernel.GetTask(2);
  EXPECT_EQ(t1->destination, out + "\\t1 (2).bin");

  EXPECT_TRUE(kernel.DeleteTask(0));
  ASSERT_EQ(kernel.GetTaskCount(), 2);
  EXPECT_EQ(kernel.GetTask(0), t1);
  EXPECT_EQ(kernel.GetTask(1), t2);
  EXPECT_TRUE(WaitFor([&] { return !FileExists(out + "\\t0.bin"); }, 10s));
  std::vector<TaskListEntry> entries = ListFileEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "t1");
  EXPECT_EQ(entries[0].destination, out + "\\t1 (2).bin");
  EXPECT_EQ(entries[0].askedDestination, out + "\\t1.bin");
  EXPECT_TRUE(entries[0].madeFile);
  EXPECT_EQ(entries[1].destination, out + "\\gone.bin");
  EXPECT_FALSE(entries[1].madeFile);

  EXPECT_TRUE(kernel.DeleteTask(1));  // the waiting task: the user's gone.bin stays
  EXPECT_TRUE(kernel.DeleteTask(0));  // its own "t1 (2).bin" goes, the user's t1.bin stays
  EXPECT_TRUE(WaitFor([&] { return !FileExists(out + "\\t1 (2).bin"); }, 10s));
  Sleep(300);
  EXPECT_EQ(ReadBytes(out + "\\t1.bin"), user1);
  EXPECT_TRUE(FileExists(out + "\\gone.bin"));
  EXPECT_EQ(kernel.GetTaskCount(), 0);
  EXPECT_TRUE(ListFileEntries().empty());
  EXPECT_EQ(observer.Count("deleted 0"), 2);
  EXPECT_EQ(observer.Count("deleted 1"), 1);
  g_log.Close();
  const std::string log = ReadBytes(dir.File("engine.log"));
  EXPECT_NE(log.find("[gone] - the file " + out + "\\gone.bin is left: this task did not make it"),
            std::string::npos);
  EXPECT_NE(log.find("[t0] - the file " + out + "\\t0.bin is deleted"), std::string::npos);
}

TEST_F(KernelFixture, LoadTaskListMakesTasksWithStoredStates) {
  std::string src = dir.File("src");
  std::filesystem::create_directories(FsPath(src));
  WriteRandomFile(src + "\\here.bin", 777, 4);
  // The user's own file at a destination that a kill left unclaimed (added, listed, not
  // yet made): it stays, and the copy goes beside it.
  WriteBytes(dir.File("here.bin"), "mine");
  std::vector<TaskListEntry> stored = {
      {"here", src + "\\here.bin", dir.File("here.bin"), TS_DOWNLOADED},
      {"gone & lost", "Q:\\s\\gone.bin", dir.File("gone.bin"), TS_WRITE_ERROR},
  };
  ASSERT_TRUE(CTaskListFile(kernel.GetListPath()).Write(CTaskListFile::Format(stored)));

  EXPECT_TRUE(kernel.LoadTaskList());
  ASSERT_EQ(kernel.GetTaskCount(), 2);
  EXPECT_EQ(kernel.GetTask(0)->name, "here");
  EXPECT_EQ(kernel.GetTask(0)->GetState(), TS_DOWNLOADED);
  // The size is read on a pool thread.
  EXPECT_TRUE(WaitFor([&] { return kernel.GetTask(0)->fileSize == 777u; }, 60s));
  EXPECT_EQ(kernel.GetTask(0)->offset, 0u);
  EXPECT_EQ(kernel.GetTask(1)->name, "gone & lost");
  EXPECT_EQ(kernel.GetTask(1)->GetState(), TS_WRITE_ERROR);
  EXPECT_EQ(kernel.GetTask(1)->fileSize, 0u);
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitFor([&] { return kernel.GetTask(0)->GetState() == TS_COMPLETED; }, 60s));
  EXPECT_EQ(ReadBytes(dir.File("here.bin")), "mine");
  EXPECT_TRUE(SameContent(src + "\\here.bin", dir.File("here (2).bin")));

  // A missing file is an empty list, not a failure.
  CDownloaderKernel other;
  other.SetListPath(dir.File("none.info"));
  EXPECT_TRUE(other.LoadTaskList());
  EXPECT_EQ(other.GetTaskCount(), 0);
}

TEST(KernelHost, RegistersItselfWithDefaults) {
  TempFolder dir;
  CKernelHost host;
  host.Kernel().SetListPath(dir.File("x.info"));
  EXPECT_TRUE(host.IsActive());
  EXPECT_FALSE(host.OnError(NoDefaultFolder));
  // The host's default answer refuses an add without any folder.
  EXPECT_FALSE(host.Kernel().AddTasks({"Q:\\a.txt"}, ""));
  EXPECT_EQ(host.Kernel().GetTaskCount(), 0);
}

TEST_F(KernelFixture, ListFileIsRewrittenOnlyWhenItsContentChanges) {
  std::string src = dir.File("src");
  std::filesystem::create_directories(FsPath(src));
  WriteRandomFile(src + "\\a.bin", 10, 1);
  ASSERT_TRUE(kernel.AddTasks({src + "\\a.bin", "Q:\\s\\b.bin"}, dir.Path()));
  ASSERT_TRUE(WaitFor([&] { return kernel.GetTask(0)->GetState() == TS_READY; }, 60s));
  kernel.SaveTaskList();
  std::vector<TaskListEntry> entries = ListFileEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].state, TS_READY);
  EXPECT_EQ(entries[1].state, TS_NOTHING);

  // Same tasks, same states: the file is not written again.
  ASSERT_TRUE(DeleteFileW(base::Widen(kernel.GetListPath()).c_str()));
  kernel.SaveTaskList();
  EXPECT_FALSE(FileExists(kernel.GetListPath()));

  kernel.StopTask(0);
  kernel.SaveTaskList();
  entries = ListFileEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].state, TS_WRITE_ERROR);
}

TEST_F(KernelFixture, AddedTasksAreInTheListFileBeforeAnyChunk) {
  // Nothing copies: the sources are not there, and the threads do not run.
  ASSERT_TRUE(kernel.AddTasks({"Q:\\s\\a.bin", "Q:\\s\\b.bin"}, dir.Path()));
  std::vector<TaskListEntry> entries = ListFileEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].source, "Q:\\s\\a.bin");
  EXPECT_EQ(entries[1].destination, dir.Path() + "\\b.bin");

  // A re-add that only changes the spelling of an existing task's source is written too.
  EXPECT_FALSE(kernel.AddTasks({"q:\\S\\a.bin"}, dir.Path()));
  entries = ListFileEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].source, "q:\\S\\a.bin");
}

namespace {

// An observer that calls back into the kernel from its notices, as carelessly as it
// can: a notice on another thread hands its call to the window's thread (the one that
// made it) and waits for it, as SendMessage would. A notice made while the kernel holds
// a lock that the call needs stops both threads until the hand-off gives up.
class CallingBackObserver : public IKernelObserver {
 public:
  struct Call {
    const char* notice;
    std::function<void(int index)> call;
    bool everyTime = false;  // a promise the observer keeps at every notice
  };
  explicit CallingBackObserver(std::vector<Call> calls)
      : calls_(std::move(calls)), windowThread_(GetCurrentThreadId()) {}

  void OnStart() override { Heard("start", -1); }
  void OnTaskReady(int index, CDownloadTask*) override { Heard("ready", index); }
  void OnTaskSpeed(int index, CDownloadTask*) override { Heard("speed", index); }
  void OnTaskPaused(int index) override { Heard("paused", index); }
  void OnTaskCompleted(int index) override { Heard("completed", index); }
  void OnTasksAdded() override { Heard("added", -1); }
  bool OnTasksFound() override {
    Heard("found", -1);
    return true;
  }
  void OnTaskDeleted(int index) override { Heard("deleted", index); }
  bool IsActive() override { return true; }
  bool OnError(uint32_t) override {
    Heard("error", -1);
    return true;
  }

  // On the window's thread: runs the calls handed over until `done` holds.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    return WaitFor(
        [&] {
          std::function<void()> job;
          {
            std::lock_guard<std::mutex> guard(mutex_);
            if (!jobs_.empty()) {
              job = std::move(jobs_.front());
              jobs_.erase(jobs_.begin());
            }
          }
          if (job) job();
          return done();
        },
        limit);
  }
  // Notices whose call ran to its end, and hand-offs that gave up waiting.
  bool Ran(const std::string& notice) {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::find(ran_.begin(), ran_.end(), notice) != ran_.end();
  }
  int Stuck() const { return stuck_; }
  void Close() { closed_ = true; }

 private:
  void Heard(const std::string& notice, int index) {
    if (closed_) return;
    const Call* found = nullptr;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      const bool started = std::find(started_.begin(), started_.end(), notice) != started_.end();
      for (const Call& each : calls_)
        if (notice == each.notice && (each.everyTime || !started)) found = &each;
      if (!found) return;
      started_.push_back(notice);
    }
    auto run = [this, found, notice, index] {
      found->call(index);
      std::lock_guard<std::mutex> guard(mutex_);
      ran_.push_back(notice);
    };
    if (GetCurrentThreadId() == windowThread_) return run();
    auto done = std::make_shared<std::atomic<bool>>(false);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      jobs_.push_back([run, done] {
        run();
        *done = true;
      });
    }
    if (!WaitFor([&] { return done->load(); }, 20s)) ++stuck_;
  }

  const std::vector<Call> calls_;
  const DWORD windowThread_;
  std::mutex mutex_;
  std::vector<std::function<void()>> jobs_;
  std::vector<std::string> started_, ran_;
  std::atomic<int> stuck_{0};
  std::atomic<bool> closed_{false};
};

}  // namespace

// Any notice, from any thread, may call any kernel operation of the window's thread:
// the kernel tells its observer only after letting go of its locks.
TEST_F(KernelFixture, AnObserverMayCallTheKernelFromEveryNotice) {
  const std::string src = dir.File("src"), out = dir.File("out");
  std::filesystem::create_directories(FsPath(src + "\\tree"));
  std::filesystem::create_directories(FsPath(out));
  // Long enough that its speed is measured while it copies: samples of a task that the
  // "completed" call has deleted meanwhile are not measured.
  WriteRandomFile(src + "\\big.bin", 200 * CHUNK_SIZE + 5, 1);
  WriteRandomFile(src + "\\tree\\t.bin", 1000, 2);
  WriteRandomFile(src + "\\late.bin", 1000, 3);
  auto firstCompleted = [&] {
    for (int i = 0; i < kernel.GetTaskCount(); ++i)
      if (kernel.GetTask(i)->GetState() == TS_COMPLETED) return i;
    return -1;
  };
  CallingBackObserver calls({
      {"error", [&](int) { kernel.SetDefaultFolder(out); }},
      {"start", [&](int) { EXPECT_TRUE(kernel.AddTasks({src + "\\tree"}, out)); }},
      {"found", [&](int) { kernel.AddFoundTasks(); }, true},
      {"added", [&](int) { kernel.SaveTaskList(true); }},
      {"ready", [&](int index) { kernel.PauseTask(index); }},
      {"paused", [&](int index) { kernel.ResumeTask(index); }},
      {"speed", [&](int) { kernel.SetSpeedUnit(1); }},
      {"completed", [&](int) { EXPECT_TRUE(kernel.DeleteTask(firstCompleted(), false)); }},
      {"deleted", [&](int) { EXPECT_TRUE(kernel.AddTasks({src + "\\late.bin"}, out)); }},
  });
  kernel.SetObserver(&calls);

  EXPECT_TRUE(kernel.AddTasks({src + "\\big.bin"}, ""));  // asks, and the call sets a folder
  EXPECT_TRUE(kernel.Start());
  const char* notices[] = {"error",  "start", "found",     "added",  "ready",
                           "paused", "speed", "completed", "deleted"};
  EXPECT_TRUE(calls.PumpUntil(
      [&] {
        for (const char* notice : notices)
          if (!calls.Ran(notice)) return false;
        return SameContent(src + "\\big.bin", out + "\\big.bin") &&
               SameContent(src + "\\tree\\t.bin", out + "\\tree\\t.bin") &&
               SameContent(src + "\\late.bin", out + "\\late.bin");
      },
      120s));
  for (const char* notice : notices) EXPECT_TRUE(calls.Ran(notice)) << notice;
  EXPECT_EQ(calls.Stuck(), 0);
  EXPECT_EQ(kernel.GetSpeedUnit(), 1);
  calls.Close();
  kernel.Stop();
  kernel.SetObserver(nullptr);
}

// Moves keep the moved tasks' order among themselves, give their new indexes, skip
// indexes that name no task, and write the list file in the new order.
TEST(DownloaderKernelMoves, MoveTasksReordersTheListAndItsFile) {
  using Move = CDownloaderKernel::TaskMove;
  struct Case {
    std::vector<int> indexes;
    Move move;
    std::string order;
    std::vector<int> placed;
  } cases[] = {
      {{1, 3}, Move::Top, "bdace", {0, 1}},
      {{3, 1}, Move::Bottom, "acebd", {3, 4}},
      {{0, 1, 3}, Move::Up, "abdce", {0, 1, 2}},  // a block at the top stays
      {{3, 4}, Move::Down, "abcde", {3, 4}},      // and one at the bottom
      {{1, 2}, Move::Down, "adbce", {2, 3}},
      {{4, 0, 4, 9, -1}, Move::Up, "abced", {0, 3}},
      {{}, Move::Top, "abcde", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.order);
    TempFolder dir;
    CDownloaderKernel kernel;
    kernel.SetListPath(dir.File("tolva.info"));
    std::vector<std::string> sources;
    for (char n : std::string("abcde")) sources.push_back("Q:\\s\\" + std::string(1, n) + ".bin");
    ASSERT_TRUE(kernel.AddTasks(sources, dir.Path()));
    EXPECT_EQ(kernel.MoveTasks(c.indexes, c.move), c.placed);
    std::string order, filed;
    for (int i = 0; i < kernel.GetTaskCount(); ++i) order += kernel.GetTask(i)->name;
    for (const TaskListEntry& entry : LoadListFile(kernel.GetListPath())) filed += entry.name;
    EXPECT_EQ(order, c.order);
    EXPECT_EQ(filed, c.order);
  }
}

// With two files at once, the others wait unopened (the watch thread passes them by)
// and start as copies end: the one the user resumed first, then in list order.
TEST_F(KernelFixture, FilesAtOnceKeepsTheOthersWaitingAndStartsThemInTurn) {
  std::string src = dir.File("src"), out = dir.File("out");
  std::filesystem::create_directories(FsPath(src));
  std::filesystem::create_directories(FsPath(out));
  // Under the cap, small ones end first: each end frees one place at a time.
  const size_t sizes[] = {1u << 20, 4u << 20, 1u << 20, 4u << 20};
  std::vector<std::string> sources;
  for (int i = 0; i < 4; ++i) {
    sources.push_back(src + "\\" + std::to_string(i) + ".bin");
    WriteRandomFile(sources.back(), sizes[i], static_cast<uint32_t>(i + 1));
  }
  kernel.SetFilesAtOnce(2);
  kernel.SetSpeedLimit(16);
  kernel.SetWatchInterval(1);
  ASSERT_TRUE(kernel.AddTasks(sources, out));
  for (int i : {2, 3}) {
    EXPECT_EQ(kernel.GetTask(i)->WaitReason(), "Waiting for its turn") << i;
    EXPECT_EQ(kernel.GetTask(i)->GetState(), TS_NOTHING) << i;
  }
  // Not opened: the destinations are not even made.
  EXPECT_FALSE(std::filesystem::exists(FsPath(out + "\\2.bin")));
  kernel.ResumeTask(3);
  EXPECT_EQ(kernel.GetTask(3)->WaitReason(), "Waiting for its turn");

  ASSERT_TRUE(kernel.Start());
  int mostAtOnce = 0;
  bool threeWentFirst = false;
  auto started = [&](int i) { return kernel.GetTask(i)->GetState() != TS_NOTHING; };
  EXPECT_TRUE(WaitFor(
      [&] {
        int atOnce = 0;
        for (int i = 0; i < 4; ++i) {
          const int state = kernel.GetTask(i)->GetState();
          atOnce += state == TS_READY || state == TS_DOWNLOADED;
        }
        mostAtOnce = std::max(mostAtOnce, atOnce);
        if (started(3) && !threeWentFirst)
          threeWentFirst = kernel.GetTask(2)->WaitReason() == "Waiting for its turn";
        for (int i = 0; i < 4; ++i)
          if (kernel.GetTask(i)->GetState() != TS_COMPLETED) return false;
        return true;
      },
      120s));
  EXPECT_LE(mostAtOnce, 2);
  EXPECT_TRUE(threeWentFirst);
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(
        SameContent(sources[static_cast<size_t>(i)], out + "\\" + std::to_string(i) + ".bin"))
        << i;
  kernel.Stop();
}

// The cap holds for all copies together: no span of 10 s copies more than 10 % over it.
TEST_F(KernelFixture, SpeedLimitHoldsInEveryTenSecondWindow) {
  std::string src = dir.File("src"), out = dir.File("out");
  std::filesystem::create_directories(FsPath(src));
  std::filesystem::create_directories(FsPath(out));
  const std::vector<std::string> sources = {src + "\\a.bin", src + "\\b.bin"};
  for (size_t i = 0; i < sources.size(); ++i)
    WriteRandomFile(sources[i], 3u << 20, static_cast<uint32_t>(i + 7));
  constexpr uint32_t kMbps = 4;
  kernel.SetSpeedLimit(kMbps);
  ASSERT_TRUE(kernel.AddTasks(sources, out));
  ASSERT_TRUE(kernel.Start());
  struct Sample {
    ULONGLONG ms;
    uint64_t bytes;
  };
  std::vector<Sample> samples;
  auto copied = [&] {
    uint64_t bytes = 0;
    for (int i = 0; i < kernel.GetTaskCount(); ++i) {
      CDownloadTask* task = kernel.GetTask(i);
      bytes += task->GetState() == TS_COMPLETED ? task->fileSize.load() : task->offset.load();
    }
    return bytes;
  };
  EXPECT_TRUE(WaitFor(
      [&] {
        samples.push_back({GetTickCount64(), copied()});
        return samples.back().bytes == (6u << 20);
      },
      120s));
  kernel.Stop();
  const double allowed = 1.1 * kMbps * CSpeedCap::kBytesPerMbps * 10.0;
  double worst = 0;
  for (size_t i = 0, j = 0; i < samples.size(); ++i) {
    while (j + 1 < samples.size() && samples[j + 1].ms - samples[i].ms <= 10000) ++j;
    worst = std::max(worst, static_cast<double>(samples[j].bytes - samples[i].bytes));
  }
  EXPECT_LE(worst, allowed) << "bytes in the fullest 10 s";
  EXPECT_GT(samples.back().ms - samples.front().ms, 10000u);  // the cap was in force
  for (const std::string& source : sources)
    EXPECT_TRUE(SameContent(source, out + source.substr(src.size())));
}
