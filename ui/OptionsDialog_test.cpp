// The options dialog as a user works it: clicks in the option list, typing in the
// folder field, Close, Escape and the "..." button, checked against what the registry
// holds afterwards.
#include "ui/OptionsDialog.h"

#include <commctrl.h>
#include <shlobj.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "resources/options_ids.h"
#include "testing/TimerDriver.h"
#include "ui/FolderPicker.h"
#include "ui/SettingsRegistry.h"
#include "base/Utf8.h"

namespace {

using tolvatest::FirstWindow;
using tolvatest::HasChildText;
using tolvatest::TimerDriver;
using tolvatest::WindowText;

std::optional<long> StoredOptions() {
  long v = 0;
  if (!theRegistry.ReadInteger("Tolva", "OptionsFlag", v)) return std::nullopt;
  return v;
}

std::optional<std::string> StoredFolder() {
  std::string s;
  if (!theRegistry.ReadString("Tolva", "DefaultDownloadFolder", s)) return std::nullopt;
  return s;
}

class OptionsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva"); }
  void TearDown() override {
    if (dlg.Hwnd()) DestroyWindow(dlg.Hwnd());
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva");
  }

  // Opens the dialog modeless and records the stored option bits after every
  // notification the list sends (-1 while none are stored).
  void Open() {
    ASSERT_TRUE(dlg.Create(nullptr));
    ShowWindow(dlg.Hwnd(), SW_SHOW);
    UpdateWindow(dlg.Hwnd());
    SetWindowSubclass(dlg.Hwnd(), &RecordWrites, 1, reinterpret_cast<DWORD_PTR>(&writes));
  }
  static LRESULT CALLBACK RecordWrites(HWND wnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR,
                                       DWORD_PTR data) {
    LRESULT r = DefSubclassProc(wnd, msg, wp, lp);
    if (msg == WM_NOTIFY && wp == IDC_OPTION_LIST)
      reinterpret_cast<std::vector<long>*>(data)->push_back(StoredOptions().value_or(-1));
    if (msg == WM_NCDESTROY) RemoveWindowSubclass(wnd, &RecordWrites, 1);
    return r;
  }

  void Click(int index) {
    const RECT& r = dlg.OptionList().Item(index).rect;
    LPARAM at = MAKELPARAM(r.left + 5, r.top + 8);
    HWND list = dlg.Item(IDC_OPTION_LIST);
    SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(list, WM_LBUTTONUP, 0, at);
  }
  void Command(int id) {
    SendMessageW(dlg.Hwnd(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(dlg.Item(id)));
  }

  // Runs the dialog modally: types `text` into the folder field, then presses `key`
  // there, as the keyboard would (key 0: the close box instead). Returns what the
  // dialog ended with.
  INT_PTR RunTyping(const std::string& text, WPARAM key) {
    TimerDriver driver([&] {
      if (!dlg.Hwnd() || !IsWindowVisible(dlg.Hwnd())) return false;
      HWND field = dlg.Item(IDC_DEFAULT_FOLDER);
      SetFocus(field);
      SetWindowTextW(field, base::Widen(text).c_str());
      if (key)
        PostMessageW(field, WM_KEYDOWN, key, 1);
      else
        PostMessageW(dlg.Hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
      return true;
    });
    INT_PTR result = dlg.DoModal(nullptr);
    EXPECT_FALSE(driver.TimedOut());
    return result;
  }

  COptionsDialog dlg;
  std::vector<long> writes;
};

TEST_F(OptionsDialogTest, FreshInstallShowsTheDefaultsAndOpeningStoresNothing) {
  Open();
  COptionsListCtrl& list = dlg.OptionList();
  ASSERT_EQ(list.ItemCount(), 15u);
  const int kinds[] = {0, 1, 1, 1, 1, 0, 2, 2, 0, 1, 1, 0, 2, 2, 2};
  const int states[] = {0, 1, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0};
  const int ids[] = {0, 32779, 32780, 32781, 32791, 0,     32789, 32790,
                     0, 32794, 32798, 0,     32784, 32785, 32787};
  const int levels[] = {0, 1, 1, 1, 1, 1, 2, 2, 0, 1, 1, 1, 2, 2, 2};
  for (int i = 0; i < 15; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(list.Item(i).kind, kinds[i]);
    EXPECT_EQ(list.Item(i).state, states[i]);
    EXPECT_EQ(list.Item(i).id, ids[i]);
    EXPECT_EQ(list.Item(i).level, levels[i]);
  }
  EXPECT_EQ(list.Item(3).text, "Minimize window in the tray icon");
  EXPECT_EQ(list.Item(8).text, "Download ");
  EXPECT_EQ(list.Item(9).text, "Replace a file of that name that is already there");
  EXPECT_EQ(list.Item(10).text, "Verify each copy");
  EXPECT_EQ(list.Item(14).text, "1 min");
  EXPECT_EQ(WindowText(dlg.Hwnd()), "Options Dialog");
  EXPECT_EQ(WindowText(dlg.Item(IDOK)), "Close");
  EXPECT_EQ(WindowText(dlg.Item(IDC_DEFAULT_FOLDER)), "");

  EXPECT_EQ(WindowText(dlg.Item(IDC_FILES_AT_ONCE)), "0");
  EXPECT_EQ(WindowText(dlg.Item(IDC_SPEED_LIMIT)), "0");

  Click(12);  // "5 sec" is already selected
  EXPECT_TRUE(writes.empty());
  Command(IDOK);
  EXPECT_FALSE(StoredOptions().has_value());
  EXPECT_EQ(StoredFolder(), std::optional<std::string>(""));
  EXPECT_FALSE(theRegistry.ValueExists("Tolva", "FilesAtOnce"));
  EXPECT_FALSE(theRegistry.ValueExists("Tolva", "SpeedLimit"));
}

// The two numbers: what is stored shows (bad text as the default), what is typed is
// stored at once while it is a number the field takes, and the spin steps in range.
TEST_F(OptionsDialogTest, NumberFieldsShowAndStoreTheirCounts) {
  const struct {
    const char* stored;  // null: none
    const char* shown;
  } cases[] = {{nullptr, "0"}, {"4", "4"},      {" 12 ", "12"}, {"abc", "0"},
               {"-3", "0"},    {"100001", "0"}, {"7x", "0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored ? c.stored : "none");
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva");
    if (c.stored) {
      ASSERT_TRUE(theRegistry.WriteString("Tolva", "FilesAtOnce", c.stored));
      ASSERT_TRUE(theRegistry.WriteString("Tolva", "SpeedLimit", c.stored));
    }
    EXPECT_EQ(COptionsDialog::LoadFilesAtOnce(), std::atoi(c.shown));
    EXPECT_EQ(COptionsDialog::LoadSpeedLimit(), std::atoi(c.shown));
    Open();
    EXPECT_EQ(WindowText(dlg.Item(IDC_FILES_AT_ONCE)), c.shown);
    EXPECT_EQ(WindowText(dlg.Item(IDC_SPEED_LIMIT)), c.shown);
    DestroyWindow(dlg.Hwnd());
  }

  Open();
  const struct {
    int field;
    const char* value;
    int high;
  } fields[] = {{IDC_FILES_AT_ONCE, "FilesAtOnce", 999}, {IDC_SPEED_LIMIT, "SpeedLimit", 100000}};
  for (const auto& f : fields) {
    SCOPED_TRACE(f.value);
    HWND edit = dlg.Item(f.field), spin = dlg.Item(f.field + 1);
    SetWindowTextW(edit, L"3");
    std::string stored;
    EXPECT_TRUE(theRegistry.ReadText("Tolva", f.value, stored));
    EXPECT_EQ(stored, "3");
    SetWindowTextW(edit, L"");  // emptied on the way to another number: the 3 stands
    EXPECT_TRUE(theRegistry.ReadText("Tolva", f.value, stored));
    EXPECT_EQ(stored, "3");
    int low = -1, high = -1;
    SendMessageW(spin, UDM_GETRANGE32, reinterpret_cast<WPARAM>(&low),
                 reinterpret_cast<LPARAM>(&high));
    EXPECT_EQ(low, 0);
    EXPECT_EQ(high, f.high);
    EXPECT_EQ(reinterpret_cast<HWND>(SendMessageW(spin, UDM_GETBUDDY, 0, 0)), edit);
    // The field takes digits only, as many as the highest number has.
    EXPECT_TRUE(GetWindowLongW(edit, GWL_STYLE) & ES_NUMBER);
    EXPECT_EQ(SendMessageW(edit, EM_GETLIMITTEXT, 0, 0), LRESULT(std::to_string(f.high).size()));
  }
  Command(IDCANCEL);
  EXPECT_EQ(COptionsDialog::LoadFilesAtOnce(), 3);
  EXPECT_EQ(COptionsDialog::LoadSpeedLimit(), 3);
}

TEST_F(OptionsDialogTest, EveryCheckBoxChangeIsStoredAtOnce) {
  Open();
  Click(3);   // Minimize window in the tray icon
  Click(4);   // Show main window always on top
  Click(9);   // Replace a file of that name that is already there
  Click(10);  // Verify each copy
  EXPECT_EQ(writes, (std::vector<long>{43, 555, 0x400 | 555, 0x800 | 0x400 | 555}));
  COptionsDialog reader;
  EXPECT_EQ(reader.LoadOptions(), 0x800 | 0x400 | 555);
  EXPECT_TRUE(VerifyFromOptions(reader.LoadOptions()));
  Click(10);  // and unchecked again
  EXPECT_EQ(writes.back(), 0x400 | 555);
  EXPECT_FALSE(VerifyFromOptions(reader.LoadOptions()));
}

TEST_F(OptionsDialogTest, ChoosingAnotherRadioItemStoresEachStep) {
  Open();
  Click(7);  // Kbps: Mbps cleared first, then Kbps set
  EXPECT_EQ(writes, (std::vector<long>{39, 55}));
  Click(14);  // 1 min
  EXPECT_EQ(writes, (std::vector<long>{39, 55, 23, 151}));
}

TEST_F(OptionsDialogTest, StoredBitsShowAsTheyAreAndKeepTheUnknownOnes) {
  theRegistry.WriteInteger("Tolva", "OptionsFlag", 0x100 | 0x08 | 0x10 | 0x40 | 0x800);
  Open();
  COptionsListCtrl& list = dlg.OptionList();
  EXPECT_EQ(list.Item(6).state, 1);
  EXPECT_EQ(list.Item(7).state, 1);
  EXPECT_EQ(list.Item(10).state, 1);  // verified
  EXPECT_EQ(list.Item(12).state, 0);
  EXPECT_EQ(list.Item(13).state, 1);
  EXPECT_EQ(list.Item(1).state, 0);
  Click(12);
  EXPECT_EQ(writes,
            (std::vector<long>{0x100 | 0x08 | 0x10 | 0x800, 0x100 | 0x08 | 0x10 | 0x20 | 0x800}));
}

TEST_F(OptionsDialogTest, EscapeKeepsTheStoredFolderAndCloseStoresWhatWasTyped) {
  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", "D:\\Old");
  std::vector<std::string> handed;
  dlg.SetFolderHandler([&](const std::string& f) { handed.push_back(f); });

  EXPECT_EQ(RunTyping("E:\\Typed", VK_ESCAPE), IDCANCEL);
  EXPECT_EQ(StoredFolder(), std::optional<std::string>("D:\\Old"));
  EXPECT_EQ(RunTyping("E:\\Typed", 0), IDCANCEL);
  EXPECT_EQ(StoredFolder(), std::optional<std::string>("D:\\Old"));

  EXPECT_EQ(dlg.OptionList().ItemCount(), 15u);
  EXPECT_EQ(RunTyping("E:\\Typed", VK_RETURN), IDOK);
  EXPECT_EQ(dlg.OptionList().ItemCount(), 15u);  // shown again: each option once
  EXPECT_EQ(StoredFolder(), std::optional<std::string>("E:\\Typed"));

  EXPECT_EQ(RunTyping("", VK_RETURN), IDOK);
  EXPECT_EQ(StoredFolder(), std::optional<std::string>(""));
  // The stored folder goes to the caller at every close, an emptied one too.
  EXPECT_EQ(handed, (std::vector<std::string>{"D:\\Old", "D:\\Old", "E:\\Typed", ""}));
  EXPECT_FALSE(StoredOptions().has_value());
}

TEST_F(OptionsDialogTest, BrowseStartsAtTheStoredFolderAndStoresThePickAtOnce) {
  // At the drive's root: Wine's browser opens on the desktop when the start folder's
  // parent changes as it opens, and the temp folder often does.
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  std::string folder =
      base::Narrow(std::wstring(windows, 3)) + "tolva-browse-" + std::to_string(GetTickCount());
  ASSERT_TRUE(CreateDirectoryW(base::Widen(folder).c_str(), nullptr));
  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", folder);
  Open();
  HWND field = dlg.Item(IDC_DEFAULT_FOLDER);
  SetWindowTextW(field, L"typed but not stored");

  auto browse = [&](int answer) {
    TimerDriver driver([&] {
      HWND browser = FirstWindow({.thread = GetCurrentThreadId(), .except = dlg.Hwnd()});
      if (!browser) return false;
      EXPECT_TRUE(HasChildText(browser, CFolderPicker::kTitle));
      PostMessageW(browser, WM_COMMAND, answer, 0);
      return true;
    });
    Command(IDC_BROWSE_FOLDER);
    EXPECT_FALSE(driver.TimedOut());
  };

  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", folder);
  browse(IDCANCEL);
  EXPECT_EQ(WindowText(field), "typed but not stored");
  EXPECT_EQ(StoredFolder(), std::optional<std::string>(folder));

  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", "Z:\\elsewhere");
  browse(IDCANCEL);
  EXPECT_EQ(StoredFolder(), std::optional<std::string>("Z:\\elsewhere"));

  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", folder);
  browse(IDOK);
  EXPECT_EQ(_stricmp(WindowText(field).c_str(), folder.c_str()), 0);
  EXPECT_EQ(_stricmp(StoredFolder().value_or("").c_str(), folder.c_str()), 0);
  RemoveDirectoryW(base::Widen(folder).c_str());
}

TEST_F(OptionsDialogTest, FolderFieldTakesOnlyWhatCanBeReadBack) {
  Open();
  EXPECT_EQ(SendMessageW(dlg.Item(IDC_DEFAULT_FOLDER), EM_GETLIMITTEXT, 0, 0),
            LRESULT(CSettingsRegistry::kReadCapacity - 1));
}

// Holds the dialog open on the screen for scripts/screenshot-options; skipped unless
// TOLVA_SCREENSHOT_SECONDS is set.
TEST(OptionsDialogScreen, HoldsTheDialogOpenForAScreenshot) {
  const char* seconds = std::getenv("TOLVA_SCREENSHOT_SECONDS");
  if (!seconds) GTEST_SKIP() << "set TOLVA_SCREENSHOT_SECONDS to show the dialog";
  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", "C:\\Downloads");
  COptionsDialog dlg;
  ASSERT_TRUE(dlg.Create(nullptr));
  SetWindowPos(dlg.Hwnd(), nullptr, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW);
  DWORD end = GetTickCount() + 1000 * static_cast<DWORD>(atoi(seconds));
  MSG msg;
  while (GetTickCount() < end && IsWindow(dlg.Hwnd())) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!IsDialogMessageW(dlg.Hwnd(), &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
}

}  // namespace

TEST_F(OptionsDialogTest, FirstRunStoresTheDownloadsFolderOnlyWhenNoneWasEverSet) {
  wchar_t* known = nullptr;
  ASSERT_EQ(S_OK, SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_CREATE, nullptr, &known));
  const std::string downloads = base::Narrow(known);
  CoTaskMemFree(known);

  std::string stored;
  ASSERT_TRUE(COptionsDialog::StoreDownloadsFolderIfNeverSet(stored));
  EXPECT_EQ(stored, downloads);
  EXPECT_EQ(StoredFolder(), downloads);
  EXPECT_EQ(dlg.LoadDefaultFolder(), downloads);
  // Not a second time, also once the user has chosen another.
  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", "D:\\Mine");
  EXPECT_FALSE(COptionsDialog::StoreDownloadsFolderIfNeverSet(stored));
  EXPECT_EQ(StoredFolder(), "D:\\Mine");
  // An emptied folder is the user's "none", and a value of another type is still a
  // value the user (or an old version) stored: neither is replaced.
  theRegistry.WriteString("Tolva", "DefaultDownloadFolder", "");
  EXPECT_FALSE(COptionsDialog::StoreDownloadsFolderIfNeverSet(stored));
  EXPECT_EQ(StoredFolder(), "");
  const DWORD number = 7;
  RegSetKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva", L"DefaultDownloadFolder", REG_DWORD,
                  &number, sizeof(number));
  EXPECT_FALSE(COptionsDialog::StoreDownloadsFolderIfNeverSet(stored));
}
