// The download kernel against a share that hangs, fails and goes away: a hung file
// holds up nothing but itself, every command returns at once, and every file that can
// be read ends byte-identical.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"
#include "engine/testing/EngineTesting.h"
#include "tests/testshare/TestShare.h"

using namespace enginetest;
using namespace tolvatest;
using namespace std::chrono_literals;

namespace {

// What a user would call "at once".
constexpr ULONGLONG kPromptMs = 200;

struct HungShareFixture : ::testing::Test {
  void SetUp() override {
    if (!share.Available()) GTEST_SKIP() << TestShare::kNotAvailable;
    ASSERT_TRUE(share.Command("reset"));
    std::filesystem::create_directories(FsPath(out));
    g_log.Open(dir.File("engine.log"));
    kernel.SetListPath(dir.File("tolva.info"));
    kernel.SetObserver(&observer);
  }
  void TearDown() override {
    if (!share.Available()) return;
    // Released first, so that nothing is left hanging for the next test.
    share.Command("reset");
    kernel.Stop();
    g_log.Close();
  }

  // How long `action` took, in milliseconds.
  template <class Fn>
  static ULONGLONG Timed(Fn&& action) {
    ULONGLONG start = GetTickCount64();
    action();
    return GetTickCount64() - start;
  }
  int StateOf(int index) { return kernel.GetTask(index)->GetState(); }
  bool WaitForState(int index, int state, int timeoutMs = 60000) {
    return WaitFor([&] { return StateOf(index) == state; }, std::chrono::milliseconds(timeoutMs));
  }
  std::string LogText() { return ReadBytes(dir.File("engine.log")); }
  size_t LogCount(const std::string& message) {
    std::istringstream in(LogText());
    size_t n = 0;
    for (std::string line; std::getline(in, line);)
      n += line.size() >= message.size() &&
           line.compare(line.size() - message.size(), message.size(), message) == 0;
    return n;
  }

  TestShare share;
  TempFolder dir;
  std::string out = dir.File("out");
  RecordingObserver observer;
  CDownloaderKernel kernel;
};

}  // namespace

TEST_F(HungShareFixture, HungReadHoldsUpOnlyItsOwnTaskAndEveryCommandReturnsAtOnce) {
  std::vector<char> hungBytes = RandomBytes(3 * CHUNK_SIZE + 5, 1);
  std::string hung = share.AddFile("hung.bin", hungBytes);
  std::string local = dir.File("local.bin");
  WriteRandomFile(local, 40u << 20, 2);
  ASSERT_TRUE(share.Command("hang-read hung.bin"));

  ASSERT_TRUE(kernel.AddTasks({hung, local}, out));
  ASSERT_TRUE(kernel.Start());
  // The hung task's first read is in flight and stays there; the local file copies.
  ASSERT_TRUE(WaitForState(0, TS_DOWNLOADED));
  ASSERT_TRUE(WaitForState(1, TS_COMPLETED));
  EXPECT_TRUE(SameContent(local, out + "\\local.bin"));
  EXPECT_EQ(StateOf(0), TS_DOWNLOADED);
  EXPECT_EQ(kernel.GetTask(0)->offset, 0u);

  // Pause, Resume and Stop of the hung task: each returns at once.
  EXPECT_LE(Timed([&] { kernel.PauseTask(0); }), kPromptMs);
  EXPECT_EQ(StateOf(0), TS_NOTHING);
  // Its read still hangs: no second read beside it, so Resume leaves it closed for now.
  EXPECT_LE(Timed([&] { kernel.ResumeTask(0); }), kPromptMs);
  Sleep(300);
  EXPECT_EQ(StateOf(0), TS_NOTHING);
  EXPECT_LE(Timed([&] { kernel.StopTask(0); }), kPromptMs);
  EXPECT_EQ(StateOf(0), TS_WRITE_ERROR);

  // The share answers again: the abandoned read comes back and is discarded; Resume
  // then copies the whole file from where it stood.
  ASSERT_TRUE(share.Command("release *"));
  ASSERT_TRUE(WaitFor(
      [&] {
        kernel.ResumeTask(0);
        return WaitForState(0, TS_COMPLETED, 500);
      },
      60s));
  EXPECT_TRUE(SameContent(hung, out + "\\hung.bin"));
  EXPECT_EQ(std::filesystem::file_size(FsPath(out + "\\hung.bin")), hungBytes.size());
}

TEST_F(HungShareFixture, DeletingAHungTaskReturnsAtOnceAndItsCopyGoesWhenTheReadLetsGo) {
  std::string hung = share.AddFile("deleted.bin", RandomBytes(2 * CHUNK_SIZE, 3));
  ASSERT_TRUE(share.Command("hang-read deleted.bin"));
  ASSERT_TRUE(kernel.AddTasks({hung}, out));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitForState(0, TS_DOWNLOADED));
  ASSERT_TRUE(WaitFor([&] { return FileExists(out + "\\deleted.bin"); }, 60s));

  EXPECT_LE(Timed([&] { EXPECT_TRUE(kernel.DeleteTask(0)); }), kPromptMs);
  EXPECT_EQ(kernel.GetTaskCount(), 0);
  EXPECT_TRUE(WaitFor([&] { return !FileExists(out + "\\deleted.bin"); }, 10s));
  EXPECT_TRUE(LoadListFile(kernel.GetListPath()).empty());

  // When the share answers, the late result resurrects nothing.
  ASSERT_TRUE(share.Command("release *"));
  Sleep(500);
  EXPECT_EQ(kernel.GetTaskCount(), 0);
  EXPECT_FALSE(FileExists(out + "\\deleted.bin"));
}

TEST_F(HungShareFixture, AddingFromALookupThatHangsReturnsAtOnceAndRetriesDoNotPileUp) {
  std::vector<char> bytes = RandomBytes(CHUNK_SIZE + 9, 4);
  std::string slow = share.AddFile("lookup.bin", bytes);
  ASSERT_TRUE(share.Command("hang-lookup lookup.bin"));
  kernel.SetWatchInterval(1);
  ASSERT_TRUE(kernel.Start());

  EXPECT_LE(Timed([&] { ASSERT_TRUE(kernel.AddTasks({slow}, out)); }), kPromptMs);
  ASSERT_EQ(kernel.GetTaskCount(), 1);
  EXPECT_EQ(StateOf(0), TS_NOTHING);
  // Three watch passes while the open hangs: one open waits, no new thread per pass.
  int threadsBefore = kernel.IoThreadCount();
  Sleep(3500);
  EXPECT_LE(kernel.IoThreadCount(), threadsBefore + 1);
  EXPECT_EQ(LogCount("[lookup] - try to download"), 1u);
  // The task can be paused while its open hangs.
  EXPECT_LE(Timed([&] { kernel.PauseTask(0); }), kPromptMs);

  ASSERT_TRUE(share.Command("release *"));
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  EXPECT_TRUE(SameContent(slow, out + "\\lookup.bin"));
}

TEST_F(HungShareFixture, ATaskDeletedWhileItsOpenHangsLeavesNoFileBehind) {
  std::string slow = share.AddFile("orphan.bin", RandomBytes(1000, 6));
  ASSERT_TRUE(share.Command("hang-lookup orphan.bin"));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(kernel.AddTasks({slow}, out));
  Sleep(300);  // the open is under way, its source lookup hung
  EXPECT_LE(Timed([&] { ASSERT_TRUE(kernel.DeleteTask(0)); }), kPromptMs);

  // The open goes on once the lookup returns and makes the copy's file; the task is
  // gone by then, so that file must go too.
  ASSERT_TRUE(share.Command("release *"));
  const std::string copy = out + "\\orphan.bin";
  EXPECT_TRUE(WaitFor([&] { return !FileExists(copy); }, 5s)) << "the deleted task left " << copy;
  Sleep(500);
  EXPECT_FALSE(FileExists(copy));
}

TEST_F(HungShareFixture, AShareThatVanishesPausesItsTasksAndTheyCompleteWhenItReturns) {
  std::vector<char> bytes = RandomBytes(40 * CHUNK_SIZE + 3, 5);
  std::string remote = share.AddFile("far.bin", bytes);
  ASSERT_TRUE(share.Command("delay-read far.bin 20"));
  kernel.SetWatchInterval(1);
  ASSERT_TRUE(kernel.AddTasks({remote}, out));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitFor([&] { return kernel.GetTask(0)->offset >= 4 * CHUNK_SIZE; }, 60s));

  ASSERT_TRUE(share.Command("vanish"));
  ASSERT_TRUE(WaitFor([&] { return observer.Count("paused 0") >= 1; }, 60s));
  // Several watch passes find the share gone; the reason is logged once.
  Sleep(3500);
  EXPECT_EQ(StateOf(0), TS_NOTHING);
  EXPECT_EQ(LogCount("[far] - GetOverlappedResult failed, task is paused"), 1u);
  EXPECT_EQ(LogCount("[far] - cannot open the source: File not found."), 1u) << LogText();

  ASSERT_TRUE(share.Command("return"));
  ASSERT_TRUE(share.Command("delay-read far.bin 0"));
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  EXPECT_TRUE(SameContent(remote, out + "\\far.bin"));
}

TEST_F(HungShareFixture, StopWithAHungReadEndsPromptlyAndKeepsTheTaskInTheList) {
  std::string hung = share.AddFile("stop.bin", RandomBytes(CHUNK_SIZE, 6));
  ASSERT_TRUE(share.Command("hang-read stop.bin"));
  ASSERT_TRUE(kernel.AddTasks({hung}, out));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitForState(0, TS_DOWNLOADED));
  EXPECT_LE(Timed([&] { kernel.Stop(); }), 2000u);
  std::vector<TaskListEntry> entries = LoadListFile(kernel.GetListPath());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, hung);
}

// One big file behind a slow link: several reads of it are in flight at once. Chunks
// come back out of order, yet wherever a pause or a kill (a Stop, which leaves the list
// as it was) catches the copy, every byte before the position it keeps is in place, so
// each resumed copy ends identical to its source.
TEST_F(HungShareFixture, ASlowLinkGetsSeveralReadsInFlightAndKeepsNoHoleBehindItsPosition) {
  const std::vector<char> bytes = RandomBytes(96 * CHUNK_SIZE + 7, 43);
  const std::string path = share.AddFile("slow.bin", bytes);
  const std::string copy = out + "\\slow.bin";
  ASSERT_TRUE(share.Command("delay-read slow.bin 150"));
  // The first `length` bytes of the copy are the source's, read once its handle is free.
  auto headIsTheSources = [&](uint64_t length) {
    std::string head;
    const bool read = WaitFor(
        [&] {
          head = ReadBytes(copy);
          return head.size() >= length;
        },
        10s);
    return read &&
           std::equal(bytes.begin(), bytes.begin() + static_cast<long>(length), head.begin());
  };
  ASSERT_TRUE(kernel.AddTasks({path}, out));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitFor([&] { return kernel.GetTask(0)->offset >= 16 * CHUNK_SIZE; }, 60s));
  EXPECT_GE(share.Counter("most-readers"), 4);
  ASSERT_TRUE(kernel.PauseTask(0));
  const uint64_t paused = kernel.GetTask(0)->offset;
  EXPECT_TRUE(headIsTheSources(paused)) << paused;

  kernel.ResumeTask(0);
  // Killed once the list keeps a position past the pause.
  uint64_t kept = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        std::vector<TaskListEntry> entries = LoadListFile(kernel.GetListPath());
        kept = entries.empty() ? 0 : entries[0].offset;
        return kept > paused;
      },
      60s));
  kernel.Stop();
  std::vector<TaskListEntry> entries = LoadListFile(kernel.GetListPath());
  ASSERT_EQ(entries.size(), 1u);
  kept = entries[0].offset;
  ASSERT_LT(kept, bytes.size());
  EXPECT_TRUE(headIsTheSources(kept)) << kept;

  CDownloaderKernel restarted;
  restarted.SetListPath(kernel.GetListPath());
  restarted.SetObserver(&observer);
  ASSERT_TRUE(restarted.LoadTaskList());
  ASSERT_TRUE(restarted.Start());
  ASSERT_TRUE(WaitFor([&] { return restarted.GetTask(0)->GetState() == TS_COMPLETED; }, 60s));
  restarted.Stop();
  EXPECT_TRUE(SameContent(path, copy));
  EXPECT_EQ(LogCount("[slow] - goes on at byte " + std::to_string(kept)), 1u) << LogText();
}

// A source rewritten on the share while it is copied (another machine writes it): the
// copy is not called complete over a mix of old and new bytes; it starts over, says so,
// and ends identical to the source as it is now.
TEST_F(HungShareFixture, ASourceChangedDuringItsCopyStartsOverAndEndsWhole) {
  const size_t size = 6 * CHUNK_SIZE + 9;
  std::string path = share.AddFile("grow.bin", RandomBytes(size, 40));
  ASSERT_TRUE(share.Command("delay-read grow.bin 150"));
  ASSERT_TRUE(kernel.AddTasks({path}, out));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitFor([&] { return kernel.GetTask(0)->offset >= CHUNK_SIZE; }, 60s));
  // Its tail grows behind Windows' back, past the size the copy began with.
  ASSERT_TRUE(HostTruncate(share.BackingPath("grow.bin"), size + 5));
  ASSERT_TRUE(share.Command("delay-read grow.bin 0"));
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  EXPECT_TRUE(SameContent(path, out + "\\grow.bin"));
  EXPECT_EQ(LogCount("[grow] - the source changed while it was copied: starts again from the "
                     "beginning"),
            1u);
}

// The file an unfinished task copies, added again by another path (here the folder
// behind the share, as a mapped drive and the server's own name reach one file): that
// task goes on from the new path where it stood. Another file of that name still gets a
// task and a copy of its own.
TEST_F(HungShareFixture, AnotherPathToAnUnfinishedTasksFileTakesOverThatTask) {
  const std::vector<char> bytes = RandomBytes(4 * CHUNK_SIZE + 3, 41);
  const std::string viaShare = share.AddFile("same.bin", bytes);
  ASSERT_TRUE(share.Command("delay-read same.bin 200"));
  ASSERT_TRUE(kernel.AddTasks({viaShare}, out));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitFor([&] { return kernel.GetTask(0)->offset >= CHUNK_SIZE; }, 60s));
  ASSERT_TRUE(share.Command("hang-read same.bin"));
  std::filesystem::create_directories(FsPath(dir.File("other")));
  const std::string other = dir.File("other\\same.bin");
  WriteRandomFile(other, 1000, 42);

  ASSERT_TRUE(kernel.AddTasks({share.BackingPath("same.bin"), other}, out));
  // The newcomer leaves the list as its path goes to the task it joins.
  ASSERT_TRUE(WaitFor([&] { return kernel.GetTaskCount() == 2; }, 30s)) << LogText();
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED)) << LogText();
  EXPECT_EQ(kernel.GetTask(0)->source, share.BackingPath("same.bin"));
  ASSERT_TRUE(WaitForState(1, TS_COMPLETED));
  EXPECT_TRUE(SameContent(share.BackingPath("same.bin"), out + "\\same.bin"));
  EXPECT_TRUE(SameContent(other, out + "\\same (2).bin"));
  EXPECT_EQ(LogCount("is the same file by another path: this task goes on from it"), 1u);
  EXPECT_NE(LogText().find("[same] - goes on at byte "), std::string::npos);
}
