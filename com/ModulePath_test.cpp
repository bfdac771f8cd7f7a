#include "com/ModulePath.h"

#include <gtest/gtest.h>

namespace {

TEST(ModulePathTest, ReplacesOnlyTheExtensionOfTheFileName) {
  EXPECT_EQ(L"C:\\a\\tolvashell.tlb", com::ReplaceExtension(L"C:\\a\\tolvashell.dll", L".tlb"));
  EXPECT_EQ(L"C:\\a.b\\lib.tlb", com::ReplaceExtension(L"C:\\a.b\\lib", L".tlb"));
  EXPECT_EQ(L"C:/x.y/z.tlb", com::ReplaceExtension(L"C:/x.y/z", L".tlb"));
}

TEST(ModulePathTest, DirectoryKeepsItsLastSeparator) {
  EXPECT_EQ(L"C:\\dir\\", com::DirectoryOf(L"C:\\dir\\x.dll"));
  EXPECT_EQ(L"C:/dir/", com::DirectoryOf(L"C:/dir/x.dll"));
  EXPECT_EQ(L"C:", com::DirectoryOf(L"C:x.dll"));
  EXPECT_EQ(L"", com::DirectoryOf(L"x.dll"));
}

TEST(ModulePathTest, ThisProgramsPathIsFullAndNamesTheProgram) {
  std::wstring path = com::ModulePath(nullptr);
  ASSERT_GT(path.size(), 3u);
  EXPECT_EQ(L':', path[1]);
  EXPECT_NE(std::wstring::npos, path.find(L"ModulePath_test"));
}

}  // namespace
