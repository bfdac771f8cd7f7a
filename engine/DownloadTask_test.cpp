#include "engine/DownloadTask.h"

#include <gtest/gtest.h>

#include <regex>

TEST(DownloadTask, StateNamesAndLastStateCopy) {
  CDownloadTask task;
  const char* names[] = {"nothing", "ready", "downloaded", "completed", "write error", ""};
  for (int s = 0; s <= 5; ++s) {
    task.SetState(s);
    EXPECT_EQ(task.GetStateName(), names[s]) << s;
  }
  task.SetState(77);
  EXPECT_EQ(task.GetStateName(), "");

  task.SetState(TS_READY);
  EXPECT_EQ(task.lastState, TS_NOTHING);  // SetState alone does not copy
  EXPECT_EQ(task.GetState(), TS_READY);
  EXPECT_EQ(task.lastState, TS_READY);
  task.SetState(TS_COMPLETED);
  EXPECT_EQ(task.GetStateName(), "completed");
  EXPECT_EQ(task.lastState, TS_READY);  // GetStateName leaves the copy alone
}

TEST(DownloadTask, DisplayNameFromSource) {
  EXPECT_EQ(CDownloadTask::NameFromSource("C:\\data\\archive"), "archive");
  EXPECT_EQ(CDownloadTask::NameFromSource("C:\\data\\a.b.c"), "a.b");
  EXPECT_EQ(CDownloadTask::NameFromSource("file.txt"), "file");
  EXPECT_EQ(CDownloadTask::NameFromSource("\\\\srv\\share\\report.final.doc"), "report.final");
  EXPECT_EQ(CDownloadTask::NameFromSource("C:\\dir.d\\.hidden"), ".hidden");
  EXPECT_EQ(CDownloadTask::NameFromSource("C:\\dir.d\\noext"), "noext");
  EXPECT_EQ(CDownloadTask::NameFromSource("C:\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt"),
            "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82");
}

TEST(DownloadTask, EachTaskHasItsOwnGuid) {
  CDownloadTask a, b;
  std::regex guid(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})");
  EXPECT_TRUE(std::regex_match(a.id, guid)) << a.id;
  EXPECT_TRUE(std::regex_match(b.id, guid)) << b.id;
  EXPECT_NE(a.id, b.id);
}
