#include "shellext/DownloadMenu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "winui/UniqueHandle.h"

namespace {

using shellext::CopyCommandString;

std::wstring ItemText(HMENU menu, UINT position) {
  wchar_t text[64] = {};
  GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
  return text;
}

// A menu with `count` ordinary items, as the shell would hand it over.
winui::UniqueMenu MenuWithItems(UINT count) {
  winui::UniqueMenu menu(CreatePopupMenu());
  for (UINT i = 0; i < count; ++i)
    AppendMenuW(menu.Get(), MF_STRING, 1 + i, (L"item " + std::to_wstring(i)).c_str());
  return menu;
}

TEST(DownloadMenuTest, EntriesGoAtTheGivenPositionBetweenSeparators) {
  winui::UniqueMenu menu = MenuWithItems(7);
  shellext::InsertDownloadEntries(menu.Get(), 5, 100);
  ASSERT_EQ(11, GetMenuItemCount(menu.Get()));
  EXPECT_EQ(MF_SEPARATOR, GetMenuState(menu.Get(), 5, MF_BYPOSITION) & MF_SEPARATOR);
  EXPECT_EQ(L"Download...", ItemText(menu.Get(), 6));
  EXPECT_EQ(100u, GetMenuItemID(menu.Get(), 6));
  EXPECT_EQ(L"Download into...", ItemText(menu.Get(), 7));
  EXPECT_EQ(101u, GetMenuItemID(menu.Get(), 7));
  EXPECT_EQ(MF_SEPARATOR, GetMenuState(menu.Get(), 8, MF_BYPOSITION) & MF_SEPARATOR);
  EXPECT_EQ(L"item 5", ItemText(menu.Get(), 9));  // the shell's items move down
}

TEST(DownloadMenuTest, BitmapsAreSetOnTheTwoEntriesOnly) {
  winui::UniqueMenu menu = MenuWithItems(2);
  shellext::InsertDownloadEntries(menu.Get(), 0, 7);
  winui::UniqueBitmap a(CreateBitmap(13, 13, 1, 1, nullptr));
  winui::UniqueBitmap b(CreateBitmap(13, 13, 1, 1, nullptr));
  shellext::SetDownloadBitmaps(menu.Get(), 0, a.Get(), b.Get());
  MENUITEMINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = MIIM_CHECKMARKS;
  ASSERT_TRUE(GetMenuItemInfoW(menu.Get(), 1, TRUE, &info));
  EXPECT_EQ(a.Get(), info.hbmpUnchecked);
  EXPECT_EQ(nullptr, info.hbmpChecked);
  ASSERT_TRUE(GetMenuItemInfoW(menu.Get(), 2, TRUE, &info));
  EXPECT_EQ(b.Get(), info.hbmpUnchecked);
  ASSERT_TRUE(GetMenuItemInfoW(menu.Get(), 4, TRUE, &info));
  EXPECT_EQ(nullptr, info.hbmpUnchecked);
}

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
