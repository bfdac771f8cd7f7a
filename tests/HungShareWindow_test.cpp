// The real main window, with its real kernel, while a share hangs: it answers a no-op
// message within 200 ms throughout, its task commands return at once, and the other
// files keep copying. The real program ends within 2 s of a close.
#include <gtest/gtest.h>

#include "engine/testing/EngineTesting.h"
#include "resources/resource.h"
#include "tests/ProgramCopy.h"
#include "tests/testshare/TestShare.h"
#include "tests/WindowAnswer.h"
#include "ui/MainWindowDriver_test.h"

namespace {

using tolvatest::TempFolder;
using windowtest::kAnswerMs;
using windowtest::RunningWindow;
using windowtest::WorstAnswerMs;

struct HungShareWindow : ::testing::Test {
  void SetUp() override {
    if (!share.Available()) GTEST_SKIP() << TestShare::kNotAvailable;
    ASSERT_TRUE(share.Command("reset"));
  }
  void TearDown() override {
    if (share.Available()) share.Command("reset");
  }
  // Selects the row and sends the window a task command as its menu would, without
  // waiting for it; then the window must go on answering.
  static void PostTaskCommand(RunningWindow& w, int row, UINT command) {
    w.OnUi([&] { w.dlg.List().Select(row); });
    PostMessageW(w.Hwnd(), WM_COMMAND, MAKEWPARAM(command, 0), 0);
  }

  TestShare share;
  TempFolder temp;
};

TEST_F(HungShareWindow, AHungReadFreezesNeitherTheWindowNorTheOtherFiles) {
  std::string hung = share.AddFile("hung.bin", tolvatest::RandomBytes(2 * CHUNK_SIZE + 1, 1));
  std::string local = temp.File("local.bin");
  enginetest::WriteRandomFile(local, 40u << 20, 2);
  std::string out = temp.File("out");
  CreateDirectoryW(base::Widen(out).c_str(), nullptr);
  ASSERT_TRUE(share.Command("hang-read hung.bin"));

  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  w.OnUi([&] { w.dlg.QueueFiles({hung, local}, out); });
  ASSERT_TRUE(tolvatest::PumpUntil([&] { return w.State(0) == TS_DOWNLOADED; }));
  EXPECT_LE(WorstAnswerMs(w.Hwnd(), 500), kAnswerMs);
  ASSERT_TRUE(tolvatest::PumpUntil([&] { return w.State(1) == TS_COMPLETED; }));
  EXPECT_TRUE(enginetest::SameContent(local, out + "\\local.bin"));
  EXPECT_EQ(w.State(0), TS_DOWNLOADED);

  // Every command on the hung task: the window answers while and after it runs.
  for (UINT command : {ID_TASK_PAUSE, ID_TASK_RESUME, ID_TASK_STOP, ID_TASK_RESUME}) {
    PostTaskCommand(w, 0, command);
    EXPECT_LE(WorstAnswerMs(w.Hwnd(), 300), kAnswerMs) << command;
  }
  PostTaskCommand(w, 0, ID_TASK_DELETE);
  EXPECT_LE(WorstAnswerMs(w.Hwnd(), 300), kAnswerMs);
  EXPECT_EQ(w.RowTexts(), std::vector<std::string>{"local"});
  EXPECT_EQ(w.dlg.Kernel().GetTaskCount(), 1);
  EXPECT_TRUE(w.Close());
}

TEST_F(HungShareWindow, FilesFromALookupThatHangsGetTheirRowsAtOnce) {
  std::string slow = share.AddFile("slow.bin", tolvatest::RandomBytes(CHUNK_SIZE + 3, 3));
  std::string out = temp.File("out");
  CreateDirectoryW(base::Widen(out).c_str(), nullptr);
  ASSERT_TRUE(share.Command("hang-lookup slow.bin"));

  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  ULONGLONG start = GetTickCount64();
  w.OnUi([&] { w.dlg.QueueFiles({slow}, out); });
  EXPECT_LE(GetTickCount64() - start, kAnswerMs);
  EXPECT_EQ(w.RowTexts(), std::vector<std::string>{"slow"});
  EXPECT_EQ(w.State(0), TS_NOTHING);
  EXPECT_LE(WorstAnswerMs(w.Hwnd(), 500), kAnswerMs);

  // The share answers: the file comes whole.
  ASSERT_TRUE(share.Command("release *"));
  ASSERT_TRUE(tolvatest::PumpUntil([&] { return w.State(0) == TS_COMPLETED; }));
  EXPECT_TRUE(enginetest::SameContent(slow, out + "\\slow.bin"));
  EXPECT_TRUE(w.Close());
}

TEST_F(HungShareWindow, TheProgramEndsWithinTwoSecondsOfACloseWhileAReadHangs) {
  testing_tolva::ProgramCopy program;
  ASSERT_TRUE(program.Ready());
  std::string hung = share.AddFile("close.bin", tolvatest::RandomBytes(2 * CHUNK_SIZE, 5));
  std::string out = temp.File("out");
  CreateDirectoryW(base::Widen(out).c_str(), nullptr);
  ASSERT_TRUE(share.Command("hang-read close.bin"));

  ASSERT_TRUE(program.StartFirst("\"" + hung + "\" \"" + out + "\""));
  ASSERT_TRUE(tolvatest::PumpUntil(
      [&] { return program.Log().find("[close] - task is ready") != std::string::npos; }));
  Sleep(300);  // the first read is in flight and hangs
  ULONGLONG worst = WorstAnswerMs(program.MainWindow(), 500);
  EXPECT_LE(worst, kAnswerMs);
  RecordProperty("answer_ms", static_cast<int>(worst));
  ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(program.CloseFirst());
  ULONGLONG took = GetTickCount64() - start;
  EXPECT_LE(took, 2000u);
  RecordProperty("close_ms", static_cast<int>(took));
  // The list file was written before anything waited: the unfinished file is in it.
  std::string info = base::Narrow(program.Folder()) + "\\tolva.info";
  std::vector<TaskListEntry> entries = enginetest::LoadListFile(info);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].source, hung);
}

TEST_F(HungShareWindow, AFullDiskStopsItsTaskWhileTheWindowAnswersAndTheNextStartFinishesIt) {
  testing_tolva::ProgramCopy program;
  ASSERT_TRUE(program.Ready());
  const std::string source = temp.File("full.bin");
  enginetest::WriteRandomFile(source, 6 * CHUNK_SIZE + 11, 7);
  std::filesystem::create_directories(enginetest::FsPath(share.BackingPath("disk")));
  const std::string disk = share.Path("disk");
  ASSERT_TRUE(share.Command("space " + std::to_string(2 * CHUNK_SIZE)));

  ASSERT_TRUE(program.StartFirst("\"" + source + "\" \"" + disk + "\""));
  // The window answers while the copy runs into the full disk and gives up on it.
  const ULONGLONG worst = WorstAnswerMs(program.MainWindow(), 1000);
  EXPECT_LE(worst, kAnswerMs);
  RecordProperty("answer_ms", static_cast<int>(worst));
  ASSERT_TRUE(tolvatest::PumpUntil([&] {
    return program.Log().find("[full] - write failed with error 112, task is stopped") !=
           std::string::npos;
  })) << program.Log();
  EXPECT_LE(WorstAnswerMs(program.MainWindow(), 300), kAnswerMs);
  ASSERT_TRUE(program.CloseFirst());
  std::vector<TaskListEntry> entries =
      enginetest::LoadListFile(base::Narrow(program.Folder()) + "\\tolva.info");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].state, TS_WRITE_ERROR);

  // Space freed, the next start takes the task up again and finishes it.
  ASSERT_TRUE(share.Command("reset"));
  ASSERT_TRUE(program.StartFirst(""));
  EXPECT_TRUE(
      tolvatest::PumpUntil([&] { return enginetest::SameContent(source, disk + "\\full.bin"); }));
  EXPECT_TRUE(program.CloseFirst());
}

}  // namespace
