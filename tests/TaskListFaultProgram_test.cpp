// The real program started on damaged and long task lists: its window comes up and
// answers, the file on its command line still arrives, and it closes normally.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/TaskListFile.h"
#include "tests/FaultSeed.h"
#include "tests/ProgramCopy.h"
#include "tests/WindowAnswer.h"

#include <objbase.h>

namespace {

using namespace testing_tolva;
using namespace tolvatest;

void PutBytes(const std::string& path, const std::string& bytes) {
  ASSERT_TRUE(WriteBytes(W(path), bytes)) << path;
}

std::string Element(const std::string& attributes) { return "\t<task " + attributes + " />\n"; }

std::string List(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<downloader>\n" + body +
         "</downloader>";
}

// Starts the program on the list `make` leaves beside it, with one file on its command
// line; the window must answer and the file arrive within `limitMs`.
void StartOn(ProgramCopy& program, const Folders& f, const std::string& name,
             const std::function<void()>& make, DWORD limitMs = 30000) {
  make();
  const std::string content = f.Source(name, 5000 + name.size(), static_cast<int>(name.size()));
  ASSERT_TRUE(program.StartFirst("\"" + U8(f.src) + "\\" + name + "\""));
  EXPECT_TRUE(WaitFor([&] { return windowtest::AnswerMs(program.MainWindow()) < 1000; },
                      std::chrono::milliseconds(limitMs)));
  EXPECT_TRUE(Arrives(f.def + L"\\" + W(name), content));
  EXPECT_LT(windowtest::WorstAnswerMs(program.MainWindow(), 300), 1000u);
  ASSERT_TRUE(program.CloseFirst());
}

TEST(TaskListProgram, DamagedListsNeitherStopTheStartNorTheCopy) {
  Folders f;
  DefaultFolderSetting setting(f.def);
  ProgramCopy program;
  ASSERT_TRUE(program.Ready());
  const std::string list = U8(program.Folder()) + "\\tolva.info";
  const std::string big(100 * 1024, 'y');

  {
    SCOPED_TRACE("random bytes");
    StartOn(program, f, "junk.txt", [&] {
      faulttest::Seeded random("program list junk");
      std::string junk(8192, '\0');
      for (char& c : junk) c = random.Byte();
      PutBytes(list, junk);
    });
  }
  {
    SCOPED_TRACE("odd elements and 100 KB values");
    StartOn(program, f, "odd.txt", [&] {
      PutBytes(list, List(Element("name=\"" + big + "\" source=\"C:\\" + big +
                                  "\" destination=\"C:\\x\" state=\"1\"") +
                          Element("source=\"\"") +
                          Element("name=\"" + big + "\" source=\"" + U8(f.src) +
                                  "\\absent\" destination=\"" + U8(f.def) + "\\absent\"")));
    });
    // Of those, only the task with two usable paths is kept (it waits for its source).
    std::vector<TaskListEntry> kept;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CTaskListFile(list).Load(kept);
    CoUninitialize();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].source, U8(f.src) + "\\absent");
    EXPECT_EQ(kept[0].name.size(), big.size());
  }
  {
    SCOPED_TRACE("a directory");
    StartOn(program, f, "dir.txt", [&] {
      DeleteFileW(W(list).c_str());
      CreateDirectoryW(W(list).c_str(), nullptr);
    });
    EXPECT_TRUE(GetFileAttributesW(W(list).c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    RemoveDirectoryW(W(list).c_str());
  }
}

// Five thousand tasks whose share is gone. Their rows used to be added one redraw at a
// time (some 20 ms each under Wine), which held the window for minutes before it first
// answered.
TEST(TaskListProgram, ALongListLetsTheWindowAnswerSoon) {
  constexpr int kTasks = 5000;
  Folders f;
  DefaultFolderSetting setting(f.def);
  ProgramCopy program;
  ASSERT_TRUE(program.Ready());
  StartOn(program, f, "long.txt", [&] {
    std::vector<TaskListEntry> entries;
    for (int i = 0; i < kTasks; ++i)
      entries.push_back({"t" + std::to_string(i),
                         U8(f.src) + "\\gone\\t" + std::to_string(i) + ".bin",
                         U8(f.dst) + "\\t" + std::to_string(i) + ".bin", 1});
    ASSERT_TRUE(
        CTaskListFile(U8(program.Folder()) + "\\tolva.info").Write(CTaskListFile::Format(entries)));
  });
}

}  // namespace
