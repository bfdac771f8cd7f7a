// The real program started on damaged and long task lists: its window comes up and
// answers, the file on its command line still arrives, and it closes normally.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
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

// A task list the program finds beside it at its start, and what must hold of the list
// once the program has closed.
struct ListCase {
  const char* name;  // the test's name; the file on the command line is named after it
  std::function<void(const std::string& list, const Folders& f)> make;
  std::function<void(const std::string& list, const Folders& f)> after;
};

void PrintTo(const ListCase& c, std::ostream* out) { *out << c.name; }

const std::string kBig(100 * 1024, 'y');

const ListCase kLists[] = {
    {"RandomBytes",
     [](const std::string& list, const Folders&) {
       faulttest::Seeded random("program list junk");
       std::string junk(8192, '\0');
       for (char& c : junk) c = random.Byte();
       PutBytes(list, junk);
     },
     nullptr},
    {"OddElementsAnd100KBValues",
     [](const std::string& list, const Folders& f) {
       PutBytes(list, List(Element("name=\"" + kBig + "\" source=\"C:\\" + kBig +
                                   "\" destination=\"C:\\x\" state=\"1\"") +
                           Element("source=\"\"") +
                           Element("name=\"" + kBig + "\" source=\"" + U8(f.src) +
                                   "\\absent\" destination=\"" + U8(f.def) + "\\absent\"")));
     },
     // Of those, only the task with two usable paths is kept (it waits for its source).
     [](const std::string& list, const Folders& f) {
       std::vector<TaskListEntry> kept;
       CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
       CTaskListFile(list).Load(kept);
       CoUninitialize();
       ASSERT_EQ(kept.size(), 1u);
       EXPECT_EQ(kept[0].source, U8(f.src) + "\\absent");
       EXPECT_EQ(kept[0].name.size(), kBig.size());
     }},
    {"ADirectory",
     [](const std::string& list, const Folders&) {
       DeleteFileW(W(list).c_str());
       CreateDirectoryW(W(list).c_str(), nullptr);
     },
     [](const std::string& list, const Folders&) {
       EXPECT_TRUE(GetFileAttributesW(W(list).c_str()) & FILE_ATTRIBUTE_DIRECTORY);
       RemoveDirectoryW(W(list).c_str());
     }},
    // Five thousand tasks whose share is gone. Their rows used to be added one redraw at
    // a time (some 20 ms each under Wine), which held the window for minutes before it
    // first answered.
    {"FiveThousandTasks",
     [](const std::string& list, const Folders& f) {
       constexpr int kTasks = 5000;
       std::vector<TaskListEntry> entries;
       for (int i = 0; i < kTasks; ++i)
         entries.push_back({"t" + std::to_string(i),
                            U8(f.src) + "\\gone\\t" + std::to_string(i) + ".bin",
                            U8(f.dst) + "\\t" + std::to_string(i) + ".bin", 1});
       ASSERT_TRUE(CTaskListFile(list).Write(CTaskListFile::Format(entries)));
     },
     nullptr},
};

// The program started on a damaged or long list, with one file on its command line: the
// window must answer and the file arrive, and the program close normally.
class TaskListProgram : public ProgramTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(TaskListProgram, NeitherStopsTheStartNorTheCopy) {
  const ListCase& c = GetParam();
  const std::string list = U8(program.Folder()) + "\\tolva.info";
  c.make(list, f);
  const std::string name = std::string(c.name) + ".txt";
  const std::string content = f.Source(name, 5000 + name.size(), static_cast<int>(name.size()));
  ASSERT_TRUE(program.StartFirst("\"" + U8(f.src) + "\\" + name + "\""));
  EXPECT_TRUE(WaitFor([&] { return windowtest::AnswerMs(program.MainWindow()) < 1000; }));
  EXPECT_TRUE(Arrives(f.def + L"\\" + W(name), content));
  EXPECT_LT(windowtest::WorstAnswerMs(program.MainWindow(), 300), 1000u);
  ASSERT_TRUE(program.CloseFirst());
  if (c.after) c.after(list, f);
}

INSTANTIATE_TEST_SUITE_P(Lists, TaskListProgram, ::testing::ValuesIn(kLists),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
