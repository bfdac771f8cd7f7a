#include "bench/KernelCopy.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "bench/BenchFolder.h"
#include "bench/FileSet.h"
#include "engine/DownloaderKernel.h"

TEST(KernelCopy, CopiesEveryFileAndTimesTheRun) {
  BenchFolder dir("bench-test");
  std::string src = dir.Sub("src"), dst = dir.Sub("dst");
  ASSERT_TRUE(BenchFolder::MakeFolder(src) && BenchFolder::MakeFolder(dst));
  // Two chunks and a byte each, so each task needs several rounds of the copy loop.
  FileSet set("3 files", 3, 2 * 262144 + 1);
  ASSERT_TRUE(set.Create(src));

  KernelCopy copy(dir.Sub("tolva.info"));
  ASSERT_TRUE(copy.Run(set.Sources(), dst)) << copy.Error();
  EXPECT_EQ(set.Verify(dst, true), "");
  EXPECT_GT(copy.Seconds(), 0);

  // The same object runs again with a fresh kernel.
  ASSERT_TRUE(BenchFolder::Empty(dst));
  ASSERT_TRUE(copy.Run(set.Sources(), dst)) << copy.Error();
  EXPECT_EQ(set.Verify(dst, true), "");
}

TEST(KernelCopy, ACopyThatCannotFinishIsReportedAsFailed) {
  BenchFolder dir("bench-test");
  std::string src = dir.Sub("src");
  ASSERT_TRUE(BenchFolder::MakeFolder(src));
  FileSet set("1 file", 1, 1000);
  ASSERT_TRUE(set.Create(src));

  // No such destination folder: the task waits for it and never completes.
  KernelCopy copy(dir.Sub("tolva.info"));
  EXPECT_FALSE(copy.Run(set.Sources(), dir.Sub("absent"), 1000));
  EXPECT_EQ(copy.Error(), "0 of 1 tasks completed in 1 s");
}

TEST(KernelCopy, TheWatcherSeesTheTasksWhileTheyCopy) {
  BenchFolder dir("bench-test");
  std::string src = dir.Sub("src"), dst = dir.Sub("dst");
  ASSERT_TRUE(BenchFolder::MakeFolder(src) && BenchFolder::MakeFolder(dst));
  FileSet set("2 files", 2, 40 * 262144);
  ASSERT_TRUE(set.Create(src));

  KernelCopy copy(dir.Sub("tolva.info"));
  int calls = 0, tasksSeen = 0;
  double last = -1;
  bool ordered = true;
  copy.WatchEvery(1, [&](const CDownloaderKernel& kernel, double seconds) {
    ++calls;
    ordered = ordered && seconds >= last;
    last = seconds;
    tasksSeen = std::max(tasksSeen, kernel.GetTaskCount());
  });
  ASSERT_TRUE(copy.Run(set.Sources(), dst)) << copy.Error();
  EXPECT_EQ(set.Verify(dst, true), "");
  EXPECT_GE(calls, 1);
  EXPECT_TRUE(ordered);
  EXPECT_EQ(tasksSeen, 2);
  EXPECT_LE(last, copy.Seconds());
}
