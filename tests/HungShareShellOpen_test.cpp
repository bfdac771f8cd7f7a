// Opening the source folder of a task whose share hangs: the shell waits on a thread of
// its own and the window goes on answering.
//
// A program of its own, ended with the lookup still hung: released, the shell would go
// on to start a folder window (explorer.exe) that outlives the test.
#include <gtest/gtest.h>

#include "engine/testing/EngineTesting.h"
#include "resources/resource.h"
#include "tests/WindowAnswer.h"
#include "tests/testshare/TestShare.h"
#include "ui/MainWindowDriver_test.h"

namespace {

using tolvatest::TempFolder;
using windowtest::RunningWindow;
using windowtest::WorstAnswerMs;

TEST(HungShareShellOpen, OpeningASourceFolderOnADeadShareLeavesTheWindowFree) {
  TestShare share;
  if (!share.Available()) GTEST_SKIP() << TestShare::kNotAvailable;
  ASSERT_TRUE(share.Command("reset"));
  TempFolder temp;
  std::string source = share.AddFile("far\\dead\\file.bin", tolvatest::RandomBytes(1000, 4));
  std::string out = temp.File("out");
  CreateDirectoryW(base::Widen(out).c_str(), nullptr);
  RunningWindow w(temp);
  ASSERT_TRUE(w.WaitStarted());
  w.OnUi([&] { w.dlg.QueueFiles({source}, out); });
  ASSERT_TRUE(tolvatest::PumpUntil([&] { return w.State(0) == TS_COMPLETED; }));

  // The folder's lookup hangs: the shell waits for it on its own thread.
  ASSERT_TRUE(share.Command("hang-lookup far\\dead"));
  w.dlg.realShellOpen = true;
  w.OnUi([&] { w.dlg.List().Select(0); });
  PostMessageW(w.Hwnd(), WM_COMMAND, MAKEWPARAM(ID_TASK_SOURCE_FOLDER, 0), 0);
  EXPECT_LE(WorstAnswerMs(w.Hwnd(), 1000), windowtest::kAnswerMs);
  EXPECT_EQ(w.dlg.opened, std::vector<std::string>{share.Path("far\\dead")});
  EXPECT_TRUE(w.Close());
}

}  // namespace
