#include "shellext/DropSelection.h"

#include <gtest/gtest.h>

#include "shellext/testing/DropData.h"

namespace {

using shellext::DropSelection;

DropSelection Read(const std::vector<std::wstring>& paths) {
  HGLOBAL drop = comtest::MakeDropList(paths);
  DropSelection selection;
  selection.Read(static_cast<HDROP>(drop));
  GlobalFree(drop);
  return selection;
}

TEST(DropSelectionTest, ReadsEveryPathInOrderWithTheLastOneApart) {
  DropSelection s = Read({L"C:\\a.txt", L"D:\\My Files\\dir", L"E:\\"});
  EXPECT_EQ(3, s.fileCount);
  EXPECT_EQ((std::vector<std::wstring>{L"C:\\a.txt", L"D:\\My Files\\dir", L"E:\\"}), s.files);
  EXPECT_EQ(L"E:\\", s.lastPath);
}

TEST(DropSelectionTest, PathsLongerThanMaxPathAreKeptWhole) {
  std::wstring longPath = L"C:\\" + std::wstring(150, L'a') + L"\\" + std::wstring(200, L'b');
  DropSelection s = Read({L"C:\\short.txt", longPath});
  ASSERT_EQ(2u, s.files.size());
  EXPECT_EQ(longPath, s.files[1]);
  EXPECT_EQ(longPath, s.lastPath);
}

TEST(DropSelectionTest, SourceArgumentQuotesOnePathOrListsEachWithASemicolon) {
  EXPECT_EQ(L"\"C:\\dir\\a.txt\"", Read({L"C:\\dir\\a.txt"}).SourceArgument());
  EXPECT_EQ(L"\"C:\\My Files\\a b.txt\"", Read({L"C:\\My Files\\a b.txt"}).SourceArgument());
  EXPECT_EQ(L"\"C:\\a.txt;C:\\b.txt;C:\\folder;\"",
            Read({L"C:\\a.txt", L"C:\\b.txt", L"C:\\folder"}).SourceArgument());
  EXPECT_EQ(L"\"\"", DropSelection().SourceArgument());
}

TEST(DropSelectionTest, FolderArgumentFollowsAfterQuoteBlankQuote) {
  EXPECT_EQ(L"\"C:\\a.txt;C:\\b.txt;\" \"D:\\target\"",
            shellext::WithFolderArgument(L"\"C:\\a.txt;C:\\b.txt;\"", L"D:\\target"));
  EXPECT_EQ(L"\"C:\\dir\\a.txt\" \"E:\\\"",
            shellext::WithFolderArgument(L"\"C:\\dir\\a.txt\"", L"E:\\"));
}

}  // namespace
