#include <gtest/gtest.h>

#include <cmath>

#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"
#include "engine/testing/EngineTesting.h"

using namespace enginetest;
using namespace tolvatest;
using namespace std::chrono_literals;

namespace {

struct ThreadsFixture : ::testing::Test {
  ThreadsFixture() {
    std::filesystem::create_directories(FsPath(src));
    std::filesystem::create_directories(FsPath(out));
    kernel.SetListPath(dir.File("tolva.info"));
    kernel.SetObserver(&observer);
  }
  ~ThreadsFixture() override { kernel.Stop(); }

  int StateOf(int index) { return kernel.GetTask(index)->GetState(); }

  TempFolder dir;
  std::string src = dir.File("src"), out = dir.File("out");
  RecordingObserver observer;
  CDownloaderKernel kernel;
};

// A source of `length` bytes: a few bytes naming it, zeros after (sparse on the host).
void MakeSource(const std::string& path, uint64_t length, int tag) {
  std::string head = "task " + std::to_string(tag);
  WriteBytes(path, head);
  ASSERT_TRUE(SetFileLength(path, length));
}

}  // namespace

TEST_F(ThreadsFixture, TwoHundredTasksCompleteAndAllGetSpeeds) {
  // Sixteen reads per task: one full speed window of eleven, never two.
  constexpr int kTasks = 200;
  constexpr uint64_t kLength = 16ull * CHUNK_SIZE;
  std::vector<std::string> sources;
  for (int i = 0; i < kTasks; ++i) {
    sources.push_back(src + "\\s" + std::to_string(i) + ".bin");
    MakeSource(sources.back(), kLength, i);
  }
  kernel.SetSpeedUnit(1);
  ASSERT_TRUE(kernel.AddTasks(sources, out));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitFor(
      [&] {
        for (int i = 0; i < kTasks; ++i)
          if (StateOf(i) != TS_COMPLETED) return false;
        return true;
      },
      240s));
  kernel.Stop();

  for (int i = 0; i < kTasks; ++i) {
    std::string dest = out + "\\s" + std::to_string(i) + ".bin";
    EXPECT_TRUE(SameContent(sources[static_cast<size_t>(i)], dest)) << i;
    CDownloadTask* task = kernel.GetTask(i);
    EXPECT_TRUE(std::isfinite(task->speed) && task->speed > 0) << i << " " << task->speed;
    EXPECT_EQ(observer.Count("speed " + std::to_string(i)), 1) << i;
    std::error_code ec;
    std::filesystem::remove(FsPath(dest), ec);
  }
}

TEST_F(ThreadsFixture, WatchReopensPausedTasksButNotStoppedOnes) {
  kernel.SetWatchInterval(1);
  std::string big = src + "\\big.bin";
  MakeSource(big, 512ull << 20, 1);
  WriteRandomFile(src + "\\held.bin", 5000, 2);
  ASSERT_TRUE(kernel.AddTasks({src + "\\held.bin"}, out));
  kernel.StopTask(0);
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitFor([&] { return StateOf(0) == TS_COMPLETED; }, 60s));
  kernel.StopTask(0);  // stopped again, now while the threads run
  ASSERT_EQ(StateOf(0), TS_WRITE_ERROR);

  ASSERT_TRUE(kernel.AddTasks({big}, out));
  CDownloadTask* task = kernel.GetTask(1);
  ASSERT_TRUE(WaitFor([&] { return task->offset >= 4 * CHUNK_SIZE; }, 60s));
  ASSERT_TRUE(kernel.PauseTask(1));
  EXPECT_EQ(task->GetState(), TS_NOTHING);
  uint64_t pausedAt = task->offset;
  EXPECT_LT(pausedAt, 512ull << 20);

  // Only a watch pass brings it back, at the offset where it stood.
  ASSERT_TRUE(WaitFor([&] { return observer.Count("ready 1") == 2; }, 60s));
  EXPECT_GE(task->offset, pausedAt);
  ASSERT_TRUE(WaitFor([&] { return task->GetState() == TS_COMPLETED; }, 60s));
  EXPECT_TRUE(SameContent(big, out + "\\big.bin"));
  // The same passes left the stopped task alone.
  EXPECT_EQ(StateOf(0), TS_WRITE_ERROR);
  std::error_code ec;
  std::filesystem::remove(FsPath(out + "\\big.bin"), ec);
}

TEST_F(ThreadsFixture, DeletingTasksWhileTheyCopyKeepsTheRestGoing) {
  constexpr int kTasks = 12, kDeleted = 6;
  std::vector<std::string> sources;
  for (int i = 0; i < kTasks; ++i) {
    sources.push_back(src + "\\d" + std::to_string(i) + ".bin");
    MakeSource(sources.back(), 24ull << 20, i);
  }
  ASSERT_TRUE(kernel.AddTasks(sources, out));
  ASSERT_TRUE(kernel.Start());
  // Delete the first task, mid-copy, six times: the records go while the copy loop and
  // the performance thread may be waiting on them.
  for (int i = 0; i < kDeleted; ++i) {
    CDownloadTask* first = kernel.GetTask(0);
    ASSERT_EQ(first->name, "d" + std::to_string(i));
    ASSERT_TRUE(
        WaitFor([&] { return first->offset > 0 || first->GetState() == TS_COMPLETED; }, 60s));
    ASSERT_TRUE(kernel.DeleteTask(0));
    // The file goes on a pool thread, once the copy has let go of it.
    std::string gone = out + "\\d" + std::to_string(i) + ".bin";
    EXPECT_TRUE(WaitFor([&] { return !FileExists(gone); }, 10s)) << gone;
  }
  EXPECT_EQ(observer.Count("deleted 0"), kDeleted);
  ASSERT_EQ(kernel.GetTaskCount(), kTasks - kDeleted);
  for (int i = 0; i < kTasks - kDeleted; ++i) {
    ASSERT_TRUE(WaitFor([&] { return StateOf(i) == TS_COMPLETED; }, 60s)) << i;
    std::string name = "d" + std::to_string(i + kDeleted);
    EXPECT_EQ(kernel.GetTask(i)->name, name);
    EXPECT_TRUE(SameContent(src + "\\" + name + ".bin", out + "\\" + name + ".bin")) << name;
  }
}
