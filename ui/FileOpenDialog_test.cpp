// The file-open dialog: the paths it hands back for several files, for more than a
// fixed buffer holds, for a file without an extension, and a cancel.
#include "ui/FileOpenDialog.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "testing/TimerDriver.h"
#include "ui/FileDialogAnswer_test.h"
#include "testing/Testing.h"

namespace {

using tolvatest::TempFolder;
using tolvatest::TimerDriver;
using Paths = std::vector<std::string>;

TEST(FileOpenDialogAnswer, OneFileOrAFolderFollowedByNames) {
  using namespace std::string_view_literals;
  EXPECT_EQ(CFileOpenDialog::ParseSelection(L"C:\\dir\\a.txt\0\0"sv), Paths{"C:\\dir\\a.txt"});
  EXPECT_EQ(CFileOpenDialog::ParseSelection(L"C:\\dir\0b.txt\0a.txt\0\0"sv),
            (Paths{"C:\\dir\\b.txt", "C:\\dir\\a.txt"}));
  // A drive's root already ends in a backslash.
  EXPECT_EQ(CFileOpenDialog::ParseSelection(L"C:\\\0a.txt\0b\0\0"sv),
            (Paths{"C:\\a.txt", "C:\\b"}));
  EXPECT_EQ(CFileOpenDialog::ParseSelection(L"C:\\\u0444\u0430\u0439\u043b\0\u65e5.txt\0\0"sv),
            Paths{"C:\\\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb\\\xe6\x97\xa5.txt"});
  EXPECT_EQ(CFileOpenDialog::ParseSelection(L"\0\0"sv), Paths{});
  // An answer that fills the buffer to its last character still ends.
  EXPECT_EQ(CFileOpenDialog::ParseSelection(L"C:\\d\0x"sv), (Paths{"C:\\d\\x"}));
}

class FileOpenDialogTest : public ::testing::Test {
 protected:
  // Runs the dialog on this thread and answers it from a timer.
  bool Run(const std::string& names, Paths& paths) {
    answer = std::make_unique<FileDialogAnswer>(GetCurrentThreadId(), temp.Path(), names);
    TimerDriver driver([&] { return answer->Step(); });
    bool ok = CFileOpenDialog().Run(nullptr, paths);
    EXPECT_FALSE(driver.TimedOut());
    return ok;
  }

  TempFolder temp;
  std::unique_ptr<FileDialogAnswer> answer;
};

TEST_F(FileOpenDialogTest, SeveralFilesComeInTheOrderChosen) {
  temp.Write("a.txt", 10);
  temp.Write("b.txt", 10);
  temp.Write("c.log", 10);
  Paths paths;
  ASSERT_TRUE(Run("\"c.log\" \"a.txt\" \"b.txt\"", paths));
  EXPECT_EQ(paths, (Paths{temp.File("c.log"), temp.File("a.txt"), temp.File("b.txt")}));
}

TEST_F(FileOpenDialogTest, AFileWithoutExtensionKeepsItsName) {
  temp.Write("README", 10);
  Paths paths;
  ASSERT_TRUE(Run("README", paths));
  EXPECT_EQ(paths, Paths{temp.File("README")});
}

TEST_F(FileOpenDialogTest, ASelectionLongerThanAnyFixedBufferComesWhole) {
  // 360 names of 190 characters: about 69,000 characters of answer, more than the
  // 65,535 a fixed buffer used to hold.
  Paths expected;
  std::string typed;
  for (int i = 0; i < 360; ++i) {
    char prefix[16];
    snprintf(prefix, sizeof prefix, "%03d-", i);
    std::string name = prefix + std::string(186, 'n');
    expected.push_back(temp.Write(name, 1));
    typed += "\"" + name + "\" ";
  }
  Paths paths;
  ASSERT_TRUE(Run(typed, paths));
  EXPECT_EQ(paths, expected);
}

TEST_F(FileOpenDialogTest, CancelGivesNothing) {
  Paths paths{"left over"};
  EXPECT_FALSE(Run("", paths));
  EXPECT_TRUE(paths.empty());
}

}  // namespace
