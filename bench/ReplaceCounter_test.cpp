#include "bench/ReplaceCounter.h"

#include <gtest/gtest.h>

#include "bench/BenchFolder.h"
#include "engine/TaskListFile.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"

namespace {

void Touch(const std::string& path) {
  base::UniqueFileHandle file(CreateFileW(base::WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(file.Get(), "x", 1, &n, nullptr));
}

}  // namespace

TEST(ReplaceCounter, CountsEachReplacementOfItsFileOnly) {
  BenchFolder dir("bench-test");
  std::string list = dir.Sub("tolva.info");
  CTaskListFile file(list);
  ReplaceCounter counter(dir.Path(), "TOLVA.INFO");  // names compare without case

  ASSERT_TRUE(counter.Start()) << counter.Error();
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(file.Write(CTaskListFile::Format({})));
  Touch(dir.Sub("other.info"));  // another file's arrival
  Touch(list);                   // written in place: not a replacement
  ASSERT_TRUE(counter.Finish()) << counter.Error();
  EXPECT_EQ(counter.Count(), 7);

  // A new count starts from zero; nothing written gives zero.
  ASSERT_TRUE(counter.Start()) << counter.Error();
  ASSERT_TRUE(counter.Finish()) << counter.Error();
  EXPECT_EQ(counter.Count(), 0);

  ASSERT_TRUE(DeleteFileW(base::WidePath(list).c_str()));
  ASSERT_TRUE(counter.Start()) << counter.Error();
  Touch(list);  // created afresh counts as well
  ASSERT_TRUE(counter.Finish()) << counter.Error();
  EXPECT_EQ(counter.Count(), 1);
}

TEST(ReplaceCounter, AMissingFolderIsAnErrorNotAZero) {
  BenchFolder dir("bench-test");
  ReplaceCounter counter(dir.Sub("absent"), "tolva.info");
  EXPECT_FALSE(counter.Start());
  EXPECT_FALSE(counter.Error().empty());
  EXPECT_FALSE(counter.Finish());
}
