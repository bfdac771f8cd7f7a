// A thousand tasks at once, every other one deleted while they run, and a stop in the
// middle: nothing hangs, and every file left ends identical to its source after a
// restart from the list file. Randomised; the seed is printed and TOLVA_FAULT_SEED
// replays one.
#include <gtest/gtest.h>
#include <objbase.h>

#include <chrono>
#include <random>

#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"
#include "engine/testing/EngineTesting.h"
#include "tests/FaultSeed.h"

using namespace enginetest;
using namespace tolvatest;
using namespace std::chrono_literals;

namespace {

long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

TEST(ManyTasks, AThousandWithHalfDeletedWhileRunningAndAStopAllEndIdentical) {
  faulttest::Seeded seeded("many tasks");
  const uint32_t seed = seeded.Seed();
  std::mt19937& random = seeded.rng;

  TempFolder dir;
  const std::string src = dir.File("src"), out = dir.File("out");
  std::filesystem::create_directories(FsPath(src));
  std::filesystem::create_directories(FsPath(out));
  g_log.Open(dir.File("engine.log"));

  constexpr int kTasks = 1000;
  std::vector<std::string> sources;
  for (int i = 0; i < kTasks; ++i) {
    // Mostly small files, some of several chunks, a few empty.
    size_t size = random() % 5 == 0 ? CHUNK_SIZE + random() % (3 * CHUNK_SIZE) : random() % 40000;
    sources.push_back(src + "\\f" + std::to_string(i) + ".bin");
    WriteRandomFile(sources.back(), size, seed + static_cast<uint32_t>(i));
  }
  auto isDeleted = [](const std::string& name) { return std::stoi(name.substr(1)) % 2 == 1; };

  long long stopMs = 0;
  {
    RecordingObserver observer;
    CDownloaderKernel kernel;
    kernel.SetListPath(dir.File("tolva.info"));
    kernel.SetObserver(&observer);
    ASSERT_TRUE(kernel.Start());
    // In batches, as hand-offs arrive.
    for (int b = 0; b < 10; ++b)
      ASSERT_TRUE(
          kernel.AddTasks({sources.begin() + b * 100, sources.begin() + (b + 1) * 100}, out));
    ASSERT_EQ(kernel.GetTaskCount(), kTasks);

    // Every other task goes while the copy runs, at moments of the seed's choosing.
    int deleted = 0;
    while (deleted < kTasks / 2) {
      for (int i = kernel.GetTaskCount() - 1; i >= 0; --i) {
        if (!isDeleted(kernel.GetTask(i)->name) || random() % 3 != 0) continue;
        ASSERT_TRUE(kernel.DeleteTask(i));
        ++deleted;
      }
      Sleep(random() % 20);
    }
    ASSERT_EQ(kernel.GetTaskCount(), kTasks / 2);

    // A stop in the middle is short, whatever is in flight.
    Sleep(random() % 200);
    auto stopAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(kernel.Stop());
    stopMs = MsSince(stopAt);
    RecordProperty("stop_ms", static_cast<int>(stopMs));
    EXPECT_LT(stopMs, 5000);
    for (int i = 0; i < kernel.GetTaskCount(); ++i) {
      const int state = kernel.GetTask(i)->GetState();
      EXPECT_TRUE(state == TS_NOTHING || state == TS_COMPLETED) << i << " " << state;
    }
  }

  // Started again from its list, the kernel finishes every task that is left.
  CDownloaderKernel kernel;
  kernel.SetListPath(dir.File("tolva.info"));
  ASSERT_TRUE(kernel.LoadTaskList());
  for (int i = 0; i < kernel.GetTaskCount(); ++i)
    EXPECT_FALSE(isDeleted(kernel.GetTask(i)->name)) << kernel.GetTask(i)->name;
  ASSERT_TRUE(kernel.Start());
  EXPECT_TRUE(WaitFor(
      [&] {
        for (int i = 0; i < kernel.GetTaskCount(); ++i)
          if (kernel.GetTask(i)->GetState() != TS_COMPLETED) return false;
        return true;
      },
      120s));
  kernel.Stop();

  int checked = 0, corrupted = 0, leftOver = 0;
  for (int i = 0; i < kTasks; i += 2) {
    const std::string copy = out + "\\f" + std::to_string(i) + ".bin";
    ++checked;
    if (!SameContent(sources[i], copy)) {
      ++corrupted;
      ADD_FAILURE() << "f" << i << ".bin differs from its source";
    }
  }
  // A deleted task's file goes too.
  EXPECT_TRUE(WaitFor(
      [&] {
        leftOver = 0;
        for (int i = 1; i < kTasks; i += 2)
          leftOver += FileExists(out + "\\f" + std::to_string(i) + ".bin");
        return leftOver == 0;
      },
      10s))
      << leftOver << " deleted tasks left their files, e.g. " << [&] {
           std::string names;
           for (int i = 1; i < kTasks; i += 2)
             if (FileExists(out + "\\f" + std::to_string(i) + ".bin"))
               names += " f" + std::to_string(i);
           return names;
         }();
  RecordProperty("checked", checked);
  RecordProperty("corrupted", corrupted);
  std::printf("tasks=%d deleted=%d checked=%d corrupted=%d left-over=%d stop-ms=%lld\n", kTasks,
              kTasks / 2, checked, corrupted, leftOver, stopMs);
  g_log.Close();
}

}  // namespace
