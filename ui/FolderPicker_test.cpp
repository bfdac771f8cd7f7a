// The folder browser opens with its title on the starting folder; OK hands that folder
// back, Cancel leaves the caller's path alone.
#include "ui/FolderPicker.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "testing/TimerDriver.h"
#include "base/Utf8.h"

namespace {

using tolvatest::FirstWindow;
using tolvatest::HasChildText;
using tolvatest::TimerDriver;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

class FolderPickerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // At the drive's root, not in the temp folder: Wine's browser matches its tree's
    // items byte for byte, folder times included, so a parent that another process
    // writes into while the browser opens (the temp folder often is) makes it open on
    // the desktop instead.
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    folder =
        base::Narrow(std::wstring(windows, 3)) + "tolva-pick-" + std::to_string(GetTickCount());
    ASSERT_TRUE(CreateDirectoryW(base::Widen(folder).c_str(), nullptr));
  }
  void TearDown() override { RemoveDirectoryW(base::Widen(folder).c_str()); }

  // Runs the picker, answering its browser with `command` once it shows.
  bool Pick(std::string& path, int command) {
    bool titled = false;
    TimerDriver driver([&] {
      HWND browser = FirstWindow({.thread = GetCurrentThreadId()});
      if (!browser) return false;
      titled = HasChildText(browser, CFolderPicker::kTitle);
      PostMessageW(browser, WM_COMMAND, command, 0);
      return true;
    });
    bool picked = CFolderPicker().PickFolder(path, nullptr);
    EXPECT_FALSE(driver.TimedOut());
    EXPECT_TRUE(titled);
    return picked;
  }

  std::string folder;
};

TEST_F(FolderPickerTest, OkReturnsTheStartingFolderItWasOpenedOn) {
  std::string path = folder;
  ASSERT_TRUE(Pick(path, IDOK));
  EXPECT_EQ(Lower(path), Lower(folder));
}

TEST_F(FolderPickerTest, CancelLeavesThePathAsItWas) {
  std::string path = folder;
  EXPECT_FALSE(Pick(path, IDCANCEL));
  EXPECT_EQ(path, folder);

  std::string missing = folder + "\\no such folder";
  path = missing;
  EXPECT_FALSE(Pick(path, IDCANCEL));
  EXPECT_EQ(path, missing);
}

}  // namespace
