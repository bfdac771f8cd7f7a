#include "shellext/DownloadMenu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using shellext::CopyCommandString;

TEST(DownloadMenuTest, WideHelpTextIsCopiedWholeOrCutToFitWithItsNul) {
  const std::wstring text = L"Скачать файл (C:\\a.txt)";
  wchar_t buffer[64];
  wmemset(buffer, L'#', 64);
  ASSERT_EQ(S_OK, CopyCommandString(text, GCS_HELPTEXTW, reinterpret_cast<char*>(buffer), 64));
  EXPECT_EQ(text, buffer);

  wmemset(buffer, L'#', 64);
  ASSERT_EQ(S_OK, CopyCommandString(text, GCS_HELPTEXTW, reinterpret_cast<char*>(buffer), 8));
  EXPECT_EQ(L"Скачать", std::wstring(buffer));
  EXPECT_EQ(L'#', buffer[8]);  // nothing written past cchMax
}

TEST(DownloadMenuTest, WideTextIsNotCutInsideASurrogatePair) {
  wchar_t buffer[8];
  wmemset(buffer, L'#', 8);
  ASSERT_EQ(S_OK, CopyCommandString(L"ab\U0001F600cd", GCS_HELPTEXTW,
                                    reinterpret_cast<char*>(buffer), 4));
  EXPECT_EQ(L"ab", std::wstring(buffer));
}

TEST(DownloadMenuTest, AnsiHelpTextIsInTheSystemCodePageAndCutToFit) {
  const std::wstring text = L"Скачать файлы";
  char expected[64] = {};
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, expected, 64, nullptr, nullptr);
  char buffer[64];
  std::memset(buffer, '#', 64);
  ASSERT_EQ(S_OK, CopyCommandString(text, GCS_HELPTEXTA, buffer, 64));
  EXPECT_STREQ(expected, buffer);

  std::memset(buffer, '#', 64);
  ASSERT_EQ(S_OK, CopyCommandString(L"C:\\abcdefgh.txt", GCS_HELPTEXTA, buffer, 5));
  EXPECT_STREQ("C:\\a", buffer);
  EXPECT_EQ('#', buffer[5]);
}

TEST(DownloadMenuTest, VerbAndValidationRequestsLeaveTheBufferUntouched) {
  for (UINT type : {GCS_VERBA, GCS_VERBW, GCS_VALIDATEA, GCS_VALIDATEW}) {
    char buffer[16];
    std::memset(buffer, '#', 16);
    EXPECT_EQ(S_OK, CopyCommandString(L"text", type, buffer, 8)) << type;
    EXPECT_EQ(std::string(16, '#'), std::string(buffer, 16)) << type;
  }
}

}  // namespace
