#include "bench/FileSet.h"

#include <gtest/gtest.h>

#include "bench/BaselineCopy.h"
#include "bench/BenchFolder.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"

namespace {

// Overwrites one byte of `path` at `offset` with its complement.
void FlipByte(const std::string& path, LONGLONG offset) {
  base::UniqueFileHandle file(CreateFileW(base::WidePath(path).c_str(),
                                          GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  LARGE_INTEGER at;
  at.QuadPart = offset;
  char byte = 0;
  DWORD n = 0;
  ASSERT_TRUE(SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(ReadFile(file.Get(), &byte, 1, &n, nullptr) && n == 1);
  byte = static_cast<char>(~byte);
  ASSERT_TRUE(SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN));
  ASSERT_TRUE(WriteFile(file.Get(), &byte, 1, &n, nullptr) && n == 1);
}

struct FileSetFixture : ::testing::Test {
  FileSetFixture() {
    EXPECT_TRUE(BenchFolder::MakeFolder(src));
    EXPECT_TRUE(BenchFolder::MakeFolder(dst));
  }
  BenchFolder dir{"bench-test"};
  std::string src = dir.Sub("src"), dst = dir.Sub("dst");
};

}  // namespace

TEST_F(FileSetFixture, BothBaselinesMakeExactCopies) {
  // 2.5 MiB: several loop chunks and a short last one.
  FileSet set("3 x 2.5 MiB", 3, 5 * 512 * 1024 + 17);
  ASSERT_TRUE(set.Create(src));
  ASSERT_EQ(set.Sources().size(), 3u);
  EXPECT_EQ(set.TotalBytes(), 3u * (5 * 512 * 1024 + 17));

  std::string error;
  ASSERT_TRUE(baseline::CopyWithReadWrite(set.Sources(), dst, error)) << error;
  EXPECT_EQ(set.Verify(dst, true), "");
  ASSERT_TRUE(BenchFolder::Empty(dst));
  ASSERT_TRUE(baseline::CopyWithCopyFile(set.Sources(), dst, error)) << error;
  EXPECT_EQ(set.Verify(dst, true), "");

  // The files are not copies of each other, so a copier that mixed them up is caught.
  ASSERT_TRUE(CopyFileW(base::WidePath(set.Sources()[0]).c_str(),
                        base::WidePath(set.Destinations(dst)[1]).c_str(), FALSE));
  EXPECT_NE(set.Verify(dst, true).find("bytes differ"), std::string::npos);
}

TEST_F(FileSetFixture, VerifyFindsEveryKindOfWrongCopy) {
  FileSet set("2 x 3 MiB", 2, 3 << 20);
  ASSERT_TRUE(set.Create(src));
  std::string error;
  ASSERT_TRUE(baseline::CopyWithCopyFile(set.Sources(), dst, error)) << error;
  std::vector<std::string> copies = set.Destinations(dst);

  // One byte wrong deep inside the second file: only a byte comparison sees it.
  FlipByte(copies[1], (2 << 20) + 12345);
  EXPECT_EQ(set.Verify(dst, false), "");
  EXPECT_EQ(set.Verify(dst, true), "bytes differ: " + copies[1]);

  ASSERT_TRUE(DeleteFileW(base::WidePath(copies[1]).c_str()));
  EXPECT_EQ(set.Verify(dst, false), "cannot open " + copies[1]);

  // A copy with a stale tail (one byte longer than its source).
  std::string source = set.Sources()[1];
  ASSERT_TRUE(CopyFileW(base::WidePath(source).c_str(), base::WidePath(copies[1]).c_str(), FALSE));
  base::UniqueFileHandle file(CreateFileW(base::WidePath(copies[1]).c_str(), FILE_APPEND_DATA, 0,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(file.Get(), "x", 1, &n, nullptr));
  file.Reset();
  EXPECT_EQ(set.Verify(dst, false), "size differs: " + copies[1]);
}

TEST(FileSet, FileNameIsWhatFollowsTheLastBackslash) {
  EXPECT_EQ(FileSet::FileName("C:\\a\\b.bin"), "b.bin");
  EXPECT_EQ(FileSet::FileName("b.bin"), "b.bin");
}
