#include "engine/TaskListFile.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <climits>

#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"
#include "engine/DownloadTask.h"
#include "engine/KernelNotices.h"
#include "engine/ListSaver.h"
#include "testing/Testing.h"

namespace {

class TaskListFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    wchar_t tmp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, tmp), 0u);
    folder_ = base::Narrow(tmp) + "tasklist" + base::Narrow(tolvatest::UniqueText());
    ASSERT_TRUE(CreateDirectoryW(base::Widen(folder_).c_str(), nullptr));
    path_ = folder_ + "\\tolva.info";
  }
  void TearDown() override {
    for (const char* name : {"\\tolva.info", "\\tolva.info.tmp"})
      DeleteFileW(base::Widen(folder_ + name).c_str());
    RemoveDirectoryW(base::Widen(folder_).c_str());
    CoUninitialize();
  }

  void PutBytes(const std::string& bytes) {
    base::UniqueFileHandle f(CreateFileW(base::Widen(path_).c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(f.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr));
  }
  std::string GetBytes(const std::string& path) {
    base::UniqueFileHandle f(CreateFileW(base::Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (!f) return "<missing>";
    std::string bytes(1 << 16, '\0');
    DWORD n = 0;
    ReadFile(f.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    bytes.resize(n);
    return bytes;
  }
  std::vector<TaskListEntry> LoadAll() {
    std::vector<TaskListEntry> entries;
    EXPECT_TRUE(CTaskListFile(path_).Load(entries));
    return entries;
  }

  std::string folder_;
  std::string path_;
};

const char kHeader[] = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<downloader>\n";

TEST_F(TaskListFileTest, FormatGivesExactLines) {
  EXPECT_EQ(CTaskListFile::Format({}), std::string(kHeader) + "</downloader>");

  TaskListEntry report{"report", "D:\\Share\\report.doc", "C:\\In\\report.doc", 1};
  EXPECT_EQ(CTaskListFile::Format({report}),
            std::string(kHeader) +
                "\t<task name=\"report\" source=\"D:\\Share\\report.doc\" "
                "destination=\"C:\\In\\report.doc\" state=\"1\" />\n</downloader>");

  TaskListEntry paused{"a.b", "\\\\srv\\pub\\a.b.c", "C:\\In\\a.b.c", 0};
  EXPECT_EQ(CTaskListFile::Format({report, paused}),
            std::string(kHeader) +
                "\t<task name=\"report\" source=\"D:\\Share\\report.doc\" "
                "destination=\"C:\\In\\report.doc\" state=\"1\" />\n"
                "\t<task name=\"a.b\" source=\"\\\\srv\\pub\\a.b.c\" "
                "destination=\"C:\\In\\a.b.c\" state=\"0\" />\n</downloader>");
}

TEST_F(TaskListFileTest, FormatEscapesMarkupAndKeepsFileAscii) {
  const std::string text =
      CTaskListFile::Format({{"R&D <\"x\">", "\xD0\x96.txt", "\xF0\x9F\x98\x80\t", 4}});
  EXPECT_NE(text.find("name=\"R&amp;D &lt;&quot;x&quot;&gt;\""), std::string::npos) << text;
  EXPECT_NE(text.find("source=\"&#1046;.txt\""), std::string::npos) << text;
  EXPECT_NE(text.find("destination=\"&#128512;&#9;\""), std::string::npos) << text;
  for (char c : text) EXPECT_LT(static_cast<unsigned char>(c), 0x80u);
}

TEST_F(TaskListFileTest, AnyTextRoundTripsUnchanged) {
  const std::vector<TaskListEntry> written = {
      {"Q&A <draft> \"final\"", "\\\\srv\\a&b\\Q&A.doc", "C:\\In\\Q&A.doc", 2},
      {"\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82",  // Cyrillic
       "\\\\srv\\\xD0\x94\xD0\xBE\xD0\xBA\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.doc",
       "C:\\In\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.doc", 4},
      {"\xE5\xA0\xB1\xE5\x91\x8A", "D:\\\xE8\xB3\x87\xE6\x96\x99\\\xE5\xA0\xB1\xE5\x91\x8A.txt",
       "C:\\In\\\xE5\xA0\xB1\xE5\x91\x8A \xF0\x9F\x98\x80 #1%20.txt", 0},
      {"", "C:\\a\tb", "C:\\In\\x", 1},
  };
  const std::string text = CTaskListFile::Format(written);
  ASSERT_TRUE(CTaskListFile(path_).Write(text));
  EXPECT_EQ(GetBytes(path_), text);

  const std::vector<TaskListEntry> read = LoadAll();
  ASSERT_EQ(read.size(), written.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].name, written[i].name) << i;
    EXPECT_EQ(read[i].source, written[i].source) << i;
    EXPECT_EQ(read[i].destination, written[i].destination) << i;
    EXPECT_EQ(read[i].state, written[i].state) << i;
  }
  // Saving what was read gives the same bytes again.
  EXPECT_EQ(CTaskListFile::Format(read), text);
}

TEST_F(TaskListFileTest, TextXmlCannotHoldStillGivesAReadableFile) {
  // Control characters and broken UTF-8 have no place in XML; the rest of the list must
  // not be lost because of them.
  ASSERT_TRUE(CTaskListFile(path_).Write(CTaskListFile::Format(
      {{"bad\x01name\xFF", "C:\\s", "C:\\d", 1}, {"next", "C:\\s2", "C:\\d2", 0}})));
  const auto read = LoadAll();
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].name, "bad\xEF\xBF\xBDname\xEF\xBF\xBD");
  EXPECT_EQ(read[1].source, "C:\\s2");
}

TEST_F(TaskListFileTest, OldFileWithRawWindows1251BytesLoads) {
  // "Отчёт" in windows-1251.
  PutBytes(std::string(kHeader) +
           "\t<task name=\"\xCE\xF2\xF7\xB8\xF2\" source=\"D:\\\xCE\xF2\xF7\xB8\xF2.doc\" "
           "destination=\"C:\\In\\\xCE\xF2\xF7\xB8\xF2.doc\" state=\"1\" />\n</downloader>");
  const auto read = LoadAll();
  ASSERT_EQ(read.size(), 1u);
  const std::string name = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82";
  EXPECT_EQ(read[0].name, name);
  EXPECT_EQ(read[0].source, "D:\\" + name + ".doc");
  EXPECT_EQ(read[0].destination, "C:\\In\\" + name + ".doc");
  EXPECT_EQ(read[0].state, 1);
}

TEST_F(TaskListFileTest, BrokenFilesGiveTheirWholeTaskLinesAndSayTheyAreDamaged) {
  bool damaged = true;
  std::vector<TaskListEntry> none;
  EXPECT_TRUE(CTaskListFile(path_).Load(none, &damaged));
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(damaged) << "no file at all is an empty list";

  const std::string a = "\t<task name=\"a\" source=\"C:\\a\" destination=\"C:\\b\" />\n";
  const std::string c = "\t<task name=\"c\" source=\"C:\\c\" destination=\"C:\\d\" />\n";
  const struct {
    std::string bytes;
    std::vector<std::string> sources;
    bool damaged;
  } cases[] = {
      {"", {}, false},
      {"<?xml version=\"1.0\"?>\n<other>" + a + "</other>", {}, false},
      {std::string(kHeader) + "\t<task name=\"a\" source=\"C:\\a\" destination=\"C:\\b\"",
       {},
       true},
      {std::string(kHeader) + "\t<task name=\"a&b\" source=\"s\" destination=\"d\" />\n" + c +
           "</downloader>",
       {"C:\\c"},
       true},
      // Two writers' texts run into each other: the lines that stayed whole still load.
      {std::string(kHeader) + a + "\t<task name=\"x\" sou" + std::string(kHeader) + c +
           "</downloader>",
       {"C:\\a", "C:\\c"},
       true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.bytes);
    PutBytes(k.bytes);
    std::vector<TaskListEntry> entries;
    ASSERT_TRUE(CTaskListFile(path_).Load(entries, &damaged));
    std::vector<std::string> sources;
    for (const TaskListEntry& e : entries) sources.push_back(e.source);
    EXPECT_EQ(sources, k.sources);
    EXPECT_EQ(damaged, k.damaged);
  }
}

TEST_F(TaskListFileTest, LoadReadsOnlyTaskElementsAndToleratesOddAttributes) {
  PutBytes(std::string(kHeader) +
           "<!-- note -->\n"
           "\t<task name=\"n1\" source=\"s1\" destination=\"d1\" state=\" 2\" extra=\"x\" />\n"
           "\t<other name=\"no\" source=\"s\" destination=\"d\" state=\"1\" />\n"
           "\t<task name=\"n2\" source=\"s2\" destination=\"d2\" />\n"
           "\t<task name=\"n3\" destination=\"d3\" state=\"1\" />\n"
           "\t<task source=\"s4\" destination=\"d4\" state=\"-4x\" />\n"
           "\t<group><task name=\"deep\" source=\"s\" destination=\"d\" state=\"1\" /></group>\n"
           "\t<task name=\"n5\" source=\"s5\" destination=\"d5\" state=\"ready\" />\n"
           "\t<task name=\"n6\" source=\"s6\" destination=\"d6\" state=\"+4\" />\n"
           "\t<task name=\"n7\" source=\"s7\" destination=\"d7\" state=\"99999999999\" />\n"
           "</downloader>");
  const auto read = LoadAll();
  ASSERT_EQ(read.size(), 6u);
  EXPECT_EQ(read[0].name, "n1");
  EXPECT_EQ(read[0].state, 2);
  EXPECT_EQ(read[1].source, "s2");  // no state: not yet opened
  EXPECT_EQ(read[1].state, 0);
  EXPECT_EQ(read[2].name, "");  // no name: kept, with an empty name; n3 had no source
  EXPECT_EQ(read[2].source, "s4");
  EXPECT_EQ(read[2].state, -4);
  EXPECT_EQ(read[3].state, 0);
  EXPECT_EQ(read[4].state, 4);
  EXPECT_EQ(read[5].state, INT_MAX);
}

// A copy's position goes into the file only while it is under way, comes back whole,
// and is dropped unless all three numbers read cleanly and make sense together.
TEST_F(TaskListFileTest, PositionsRoundTripAndOnlyWholeSoundOnesLoad) {
  TaskListEntry moving{"big", "\\\\srv\\big.iso", "D:\\big.iso", 2};
  moving.offset = 4294967296ull * 3 + 262144;
  moving.sourceSize = 4294967296ull * 4;
  moving.sourceTime = 133000000000000000ull;
  TaskListEntry unknownSize{"u", "\\\\srv\\u", "D:\\u", 2};
  unknownSize.offset = 262144;  // a size never learnt gives nothing to check against
  const std::string text = CTaskListFile::Format({moving, unknownSize});
  EXPECT_NE(text.find("state=\"2\" offset=\"12885164032\" sourceSize=\"17179869184\" "
                      "sourceTime=\"133000000000000000\" />"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("D:\\u\" state=\"2\" />"), std::string::npos) << text;
  ASSERT_TRUE(CTaskListFile(path_).Write(text));
  std::vector<TaskListEntry> back = LoadAll();
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].offset, moving.offset);
  EXPECT_EQ(back[0].sourceSize, moving.sourceSize);
  EXPECT_EQ(back[0].sourceTime, moving.sourceTime);
  EXPECT_FALSE(back[1].HasPosition());

  const char* broken[] = {
      "offset=\"10\" sourceSize=\"20\"",                                     // one missing
      "offset=\" 10\" sourceSize=\"20\" sourceTime=\"1\"",                   // a blank
      "offset=\"-10\" sourceSize=\"20\" sourceTime=\"1\"",                   // a sign
      "offset=\"10x\" sourceSize=\"20\" sourceTime=\"1\"",                   // trailing text
      "offset=\"30\" sourceSize=\"20\" sourceTime=\"1\"",                    // past the end
      "offset=\"0\" sourceSize=\"20\" sourceTime=\"1\"",                     // nowhere to go on
      "offset=\"10\" sourceSize=\"18446744073709551616\" sourceTime=\"1\"",  // overflow
  };
  for (const char* attributes : broken) {
    PutBytes(std::string("<downloader><task name=\"n\" source=\"s\" destination=\"d\" "
                         "state=\"2\" ") +
             attributes + " /></downloader>");
    back = LoadAll();
    ASSERT_EQ(back.size(), 1u) << attributes;
    EXPECT_FALSE(back[0].HasPosition()) << attributes;
    EXPECT_EQ(back[0].offset, 0u) << attributes;
  }
}

// Where each copy went and whether its task made that file; a list written before
// these were kept loads with the task's own file only where a copy was under way.
TEST_F(TaskListFileTest, ClaimedNamesRoundTripAndOldListsLoad) {
  TaskListEntry beside{"r", "\\\\a\\r.bin", "D:\\In\\r (2).bin", 1};
  beside.askedDestination = "D:\\In\\r.bin";
  beside.madeFile = true;
  TaskListEntry waiting{"w", "\\\\a\\w.bin", "D:\\In\\w.bin", 0};
  waiting.askedDestination = waiting.destination;
  const std::string text = CTaskListFile::Format({beside, waiting});
  EXPECT_NE(text.find("destination=\"D:\\In\\r (2).bin\" state=\"1\" asked=\"D:\\In\\r.bin\" "
                      "made=\"1\" />"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("destination=\"D:\\In\\w.bin\" state=\"0\" />"), std::string::npos) << text;
  ASSERT_TRUE(CTaskListFile(path_).Write(text));
  std::vector<TaskListEntry> back = LoadAll();
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].askedDestination, beside.askedDestination);
  EXPECT_TRUE(back[0].madeFile);
  EXPECT_TRUE(back[1].askedDestination.empty());
  EXPECT_FALSE(back[1].madeFile);

  PutBytes(
      "<downloader><task name=\"o\" source=\"s\" destination=\"d\" state=\"2\" />"
      "<task name=\"p\" source=\"s\" destination=\"e\" state=\"2\" offset=\"10\" "
      "sourceSize=\"20\" sourceTime=\"1\" /></downloader>");
  back = LoadAll();
  ASSERT_EQ(back.size(), 2u);
  EXPECT_FALSE(back[0].madeFile);
  EXPECT_TRUE(back[1].madeFile);
}

TEST_F(TaskListFileTest, LoadAppendsToWhatTheCallerHas) {
  ASSERT_TRUE(CTaskListFile(path_).Write(CTaskListFile::Format({{"b", "s", "d", 1}})));
  std::vector<TaskListEntry> entries = {{"a", "s0", "d0", 0}};
  ASSERT_TRUE(CTaskListFile(path_).Load(entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "a");
  EXPECT_EQ(entries[1].name, "b");
}

TEST_F(TaskListFileTest, WriteReplacesWholeFileAndLeavesNoTemporary) {
  CTaskListFile file(path_);
  const std::string longer = CTaskListFile::Format(
      {{"a", "C:\\a", "C:\\b", 1}, {"c", "C:\\c", "C:\\d", 2}, {"e", "C:\\e", "C:\\f", 0}});
  ASSERT_TRUE(file.Write(longer));
  const std::string shorter = CTaskListFile::Format({});
  ASSERT_TRUE(file.Write(shorter));
  EXPECT_EQ(GetBytes(path_), shorter);
  EXPECT_EQ(GetFileAttributesW(base::Widen(path_ + ".tmp").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(TaskListFileTest, FailedWriteKeepsTheOldList) {
  CTaskListFile file(path_);
  const std::string old = CTaskListFile::Format({{"keep", "C:\\k", "C:\\In\\k", 1}});
  ASSERT_TRUE(file.Write(old));

  {
    // Someone holds the temporary file: the new text cannot be staged.
    base::UniqueFileHandle blocker(CreateFileW(base::Widen(path_ + ".tmp").c_str(), GENERIC_WRITE,
                                               0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(blocker);
    EXPECT_FALSE(file.Write(CTaskListFile::Format({})));
    EXPECT_EQ(GetBytes(path_), old);
  }
  {
    // The list itself is locked against replacement.
    base::UniqueFileHandle holder(CreateFileW(base::Widen(path_).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(file.Write(CTaskListFile::Format({})));
    EXPECT_EQ(GetBytes(path_), old);
    EXPECT_EQ(GetFileAttributesW(base::Widen(path_ + ".tmp").c_str()), INVALID_FILE_ATTRIBUTES);
  }
  EXPECT_FALSE(CTaskListFile(folder_ + "\\no such folder\\tolva.info").Write(old));
  ASSERT_EQ(LoadAll().size(), 1u);
}

// A claimed name is written within kListClaimRewriteMs, not a whole rewrite period
// after the last write, with the claims made meanwhile; a write of the list covers
// the claims before it, which then leave the downloader thread nothing to wait for.
// A write that failed is tried again after a while with no further change.
TEST_F(TaskListFileTest, ClaimedNamesAreWrittenSoonAndTogetherAndFailedWritesAgain) {
  CKernelNotices notices;
  CTaskTable table(notices);
  base::UniqueKernelHandle wake(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  CListSaver saver(table, wake.Get());
  saver.SetPath(path_);
  auto add = [&](const std::string& name) {
    auto task = std::make_shared<CDownloadTask>();
    task->name = name;
    task->source = "C:\\Src\\" + name;
    task->destination = "C:\\In\\" + name;
    table.Write()->Add(task);
  };
  // The downloader thread's turns: it sleeps as long as it is told, until nothing is due.
  auto runDeferred = [&](DWORD wait, int turns) {
    while (wait != INFINITE && turns-- > 0) {
      Sleep(wait + 1);
      wait = saver.WriteDeferred();
    }
    return wait;
  };
  add("a");
  saver.Save();
  ASSERT_EQ(LoadAll().size(), 1u);
  EXPECT_EQ(saver.WriteDeferred(), INFINITE);

  add("b");
  saver.SaveClaimSoon();
  EXPECT_EQ(WaitForSingleObject(wake.Get(), 0), WAIT_OBJECT_0);
  add("c");
  saver.SaveClaimSoon();  // the first claim's wake-up serves it too
  EXPECT_EQ(WaitForSingleObject(wake.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD wait = saver.WriteDeferred();
  EXPECT_LE(wait, kListClaimRewriteMs);
  EXPECT_EQ(runDeferred(wait, 100), INFINITE);
  EXPECT_EQ(LoadAll().size(), 3u);

  add("d");
  saver.SaveClaimSoon();
  saver.Save();  // written by another caller first
  EXPECT_EQ(saver.WriteDeferred(), INFINITE);
  EXPECT_EQ(LoadAll().size(), 4u);
  add("e");
  saver.SaveClaimSoon();  // a claim after that write wakes the thread again
  EXPECT_EQ(WaitForSingleObject(wake.Get(), 0), WAIT_OBJECT_0);

  {
    // Another program holds the list: the rename over it fails.
    base::UniqueFileHandle holder(CreateFileW(base::Widen(path_).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    saver.Save();
    EXPECT_EQ(LoadAll().size(), 4u);
  }
  // The sleeping downloader thread is woken to wait for the retry, not woken again at
  // once.
  EXPECT_EQ(WaitForSingleObject(wake.Get(), 0), WAIT_OBJECT_0);
  wait = saver.WriteDeferred();
  EXPECT_GT(wait, kListRewriteMs);
  EXPECT_EQ(runDeferred(wait, 10), INFINITE);
  EXPECT_EQ(LoadAll().size(), 5u);
}

}  // namespace
