// The copy's own side failing: a disk that fills up, a folder that refuses writes, a
// folder that is not there yet, a source another program holds locked, and a disk that
// stores a byte other than the one written. Each ends
// as a user expects (a clear state, one log line per change of failure) and every file
// completes identical once the cause is gone.
#include <gtest/gtest.h>

#include <sstream>

#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"
#include "engine/testing/EngineTesting.h"
#include "tests/testshare/TestShare.h"

using namespace enginetest;
using namespace tolvatest;
using namespace std::chrono_literals;

namespace {

struct DestinationFaults : ::testing::Test {
  void SetUp() override {
    if (!share.Available()) GTEST_SKIP() << TestShare::kNotAvailable;
    ASSERT_TRUE(share.Command("reset"));
    g_log.Open(dir.File("engine.log"));
    kernel.SetListPath(dir.File("tolva.info"));
    kernel.SetObserver(&observer);
    kernel.SetWatchInterval(1);
    // As the window answers: a failing write is tried again, a bounded number of times.
    observer.defaultErrorAnswer = true;
  }
  void TearDown() override {
    if (!share.Available()) return;
    share.Command("reset");
    kernel.Stop();
    g_log.Close();
  }

  // A folder on the share, as a destination disk.
  std::string ShareFolder(const std::string& name) {
    std::filesystem::create_directories(FsPath(share.BackingPath(name)));
    return share.Path(name);
  }
  int StateOf(int index) { return kernel.GetTask(index)->GetState(); }
  bool WaitForState(int index, int state, int timeoutMs = 60000) {
    return WaitFor([&] { return StateOf(index) == state; }, std::chrono::milliseconds(timeoutMs));
  }
  size_t LogLinesWith(const std::string& text) {
    std::istringstream in(ReadBytes(dir.File("engine.log")));
    size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
    return n;
  }

  TestShare share;
  TempFolder dir;
  RecordingObserver observer;
  CDownloaderKernel kernel;
};

}  // namespace

TEST_F(DestinationFaults, AFullDiskStopsTheTaskWithItsErrorAndResumeCompletesIt) {
  const std::string source = dir.File("big.bin");
  WriteRandomFile(source, 5 * CHUNK_SIZE + 77, 1);
  const std::string disk = ShareFolder("disk");
  ASSERT_TRUE(share.Command("space " + std::to_string(2 * CHUNK_SIZE + 1000)));

  ASSERT_TRUE(kernel.AddTasks({source}, disk));
  ASSERT_TRUE(kernel.Start());
  ASSERT_TRUE(WaitForState(0, TS_WRITE_ERROR));
  EXPECT_EQ(kernel.GetTask(0)->GetStateName(), std::string("write error"));
  // ERROR_DISK_FULL is 112; the line says which task and which error.
  EXPECT_EQ(LogLinesWith("[big] - write failed with error 112, task is stopped"), 1u);
  EXPECT_LE(kernel.GetTask(0)->offset, 2u * CHUNK_SIZE);
  // It stays stopped: the watch thread does not bring back a write error.
  Sleep(2500);
  EXPECT_EQ(StateOf(0), TS_WRITE_ERROR);

  ASSERT_TRUE(share.Command("reset"));  // space freed
  kernel.ResumeTask(0);
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  EXPECT_TRUE(SameContent(source, disk + "\\big.bin"));
}

TEST_F(DestinationFaults, AReadOnlyFolderAMissingOneAndALockedSourceEachWaitAndThenComplete) {
  const std::string a = dir.File("a.bin"), b = dir.File("b.bin"), c = dir.File("c.bin");
  WriteRandomFile(a, CHUNK_SIZE + 3, 2);
  WriteRandomFile(b, 1000, 3);
  WriteRandomFile(c, 2 * CHUNK_SIZE, 4);
  const std::string readOnly = ShareFolder("ro");
  const std::string later = dir.File("later");
  const std::string out = dir.File("out");
  std::filesystem::create_directories(FsPath(out));
  ASSERT_TRUE(share.Command("read-only ro"));
  // Another program has the source open and shares it with nobody.
  HANDLE locked =
      CreateFileW(base::WidePath(c).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);

  ASSERT_TRUE(kernel.AddTasks({a}, readOnly));
  ASSERT_TRUE(kernel.AddTasks({b}, later));
  ASSERT_TRUE(kernel.AddTasks({c}, out));
  ASSERT_TRUE(kernel.Start());
  // Several watch passes: every task is retried and none gets a second log line.
  Sleep(3500);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(StateOf(i), TS_NOTHING) << i;
  EXPECT_EQ(LogLinesWith("[a] - cannot open the destination: Access denied."), 1u);
  EXPECT_EQ(LogLinesWith("[b] - cannot open the destination: Path not found."), 1u);
  EXPECT_EQ(LogLinesWith("[c] - cannot open the source:"), 1u);
  EXPECT_GE(LogLinesWith("[a] - try to download"), 3u);

  // The causes go, one by one; each task completes on the next pass.
  ASSERT_TRUE(share.Command("reset"));
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  EXPECT_TRUE(SameContent(a, readOnly + "\\a.bin"));
  std::filesystem::create_directories(FsPath(later));
  ASSERT_TRUE(WaitForState(1, TS_COMPLETED));
  EXPECT_TRUE(SameContent(b, later + "\\b.bin"));
  CloseHandle(locked);
  ASSERT_TRUE(WaitForState(2, TS_COMPLETED));
  EXPECT_TRUE(SameContent(c, out + "\\c.bin"));
}

// The last steps of a copy: a flush that fails is a write error with the task
// resumable, never "complete"; a refused time leaves an identical copy, logged.
TEST_F(DestinationFaults, AFailedFlushIsAWriteErrorAndARefusedTimeIsOnlyLogged) {
  struct Case {
    const char* fault;
    int state;
    const char* line;
  } cases[] = {{"fail-flush", TS_WRITE_ERROR, "write failed with error"},
               {"refuse-time", TS_COMPLETED, "the copy keeps its own times:"}};
  const std::string disk = ShareFolder("disk");
  ASSERT_TRUE(kernel.Start());
  std::vector<std::string> sources;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(cases[i].fault);
    const std::string name = "f" + std::to_string(i);
    sources.push_back(dir.File(name + ".bin"));
    WriteRandomFile(sources[i], 2 * CHUNK_SIZE + 5, 10 + i);
    ASSERT_TRUE(share.Command(std::string(cases[i].fault) + " disk/" + name + ".bin"));
    ASSERT_TRUE(kernel.AddTasks({sources[i]}, disk));
    ASSERT_TRUE(WaitForState(i, cases[i].state));
    EXPECT_EQ(LogLinesWith("[" + name + "] - " + cases[i].line), 1u);
    EXPECT_EQ(LogLinesWith("[" + name + "] - complete."), cases[i].state == TS_COMPLETED ? 1u : 0u);
  }
  EXPECT_TRUE(SameContent(sources[1], disk + "\\f1.bin"));
  ASSERT_TRUE(share.Command("reset"));
  kernel.ResumeTask(0);
  ASSERT_TRUE(WaitForState(0, TS_COMPLETED));
  EXPECT_TRUE(SameContent(sources[0], disk + "\\f0.bin"));
}

// Each copy is read back after its last chunk and compared with what was read: a byte
// stored wrong once makes the copy start over and come out verified; a byte stored
// wrong at every write stops the task, and the log names the chunk (the one that holds
// byte 2 * CHUNK_SIZE + 5). A Resume once the disk is sound copies it whole. Without the
// option the wrong byte stays, unseen, as in any plain copy.
TEST_F(DestinationFaults, ACopyIsReadBackAndAByteStoredWrongMakesItStartOverOnceThenStop) {
  struct Case {
    const char* fault;
    bool verify;
    int state;
    size_t startsOver;  // log lines that say the copy differed and starts again
    long long flips;    // bytes the share stored inverted
  } cases[] = {{nullptr, true, TS_COMPLETED, 0, 0},
               {"flip-byte-once", true, TS_COMPLETED, 1, 1},
               {"flip-byte", true, TS_WRITE_ERROR, 1, 2},
               {"flip-byte-once", false, TS_COMPLETED, 0, 1}};
  constexpr uint64_t kFlipAt = 2 * CHUNK_SIZE + 5;
  const std::string chunk = std::to_string(2 * CHUNK_SIZE);
  const std::string disk = ShareFolder("disk");
  ASSERT_TRUE(kernel.Start());
  std::vector<std::string> sources;
  for (int i = 0; i < 4; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(std::string(c.fault ? c.fault : "no fault") + (c.verify ? "" : ", not verified"));
    kernel.SetVerifyCopies(c.verify);
    const std::string name = "v" + std::to_string(i), task = "[" + name + "] - ";
    sources.push_back(dir.File(name + ".bin"));
    WriteRandomFile(sources[i], 4 * CHUNK_SIZE + 9, 20 + i);
    ASSERT_TRUE(share.Command("reset"));
    if (c.fault) {
      ASSERT_TRUE(share.Command(std::string(c.fault) + " disk/" + name + ".bin " +
                                std::to_string(kFlipAt)));
    }
    ASSERT_TRUE(kernel.AddTasks({sources[i]}, disk));
    ASSERT_TRUE(WaitForState(i, c.state));
    EXPECT_EQ(share.Counter("flips"), c.flips);
    EXPECT_EQ(LogLinesWith(task + "the copy differs from its source in the chunk at byte " + chunk +
                           ": starts again from the beginning"),
              c.startsOver);
    if (c.state == TS_COMPLETED) {
      EXPECT_EQ(LogLinesWith(task + "verified"), c.verify ? 1u : 0u);
      EXPECT_EQ(kernel.GetTask(i)->WaitReason(), c.verify ? "Verified" : "");  // the row's tip
      EXPECT_EQ(SameContent(sources[i], disk + "\\" + name + ".bin"), c.verify);
    } else {
      EXPECT_EQ(kernel.GetTask(i)->GetStateName(), std::string("write error"));
      EXPECT_EQ(
          LogLinesWith(task + "the copy differs from its source again, in the chunk at byte " +
                       chunk + ": task is stopped"),
          1u);
      EXPECT_EQ(LogLinesWith(task + "verified"), 0u);
      EXPECT_EQ(kernel.GetTask(i)->WaitReason(),
                "The copy differs from its source at byte " + chunk);
      Sleep(2500);  // it stays stopped: the watch thread does not bring back a write error
      EXPECT_EQ(StateOf(i), TS_WRITE_ERROR);
    }
  }
  ASSERT_TRUE(share.Command("reset"));
  kernel.SetVerifyCopies(true);
  kernel.ResumeTask(2);
  ASSERT_TRUE(WaitForState(2, TS_COMPLETED));
  EXPECT_EQ(LogLinesWith("[v2] - verified"), 1u);
  EXPECT_TRUE(SameContent(sources[2], disk + "\\v2.bin"));
}
