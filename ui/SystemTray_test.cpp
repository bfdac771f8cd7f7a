// The tray icon against the real shell: add, tip changes, withdraw and re-add, and the
// mouse callbacks that reach the main window.
#include <gtest/gtest.h>

#include <vector>

#include "resources/resource.h"
#include "ui/SystemTray.h"

namespace {

class CommandSink : public winui::Window {
 public:
  std::vector<UINT> commands;

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == WM_COMMAND) commands.push_back(LOWORD(wParam));
    return Window::HandleMessage(msg, wParam, lParam);
  }
};

HICON TrayIcon() {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TRAY),
                                       IMAGE_ICON, 16, 16, LR_SHARED));
}

TEST(SystemTrayTip, FitsTheFieldWithoutSplittingACharacter) {
  EXPECT_EQ(CSystemTray::FitTip("Tolva"), L"Tolva");
  std::string exact(63, 'a');
  EXPECT_EQ(CSystemTray::FitTip(exact), std::wstring(63, L'a'));

  std::wstring cut = CSystemTray::FitTip(std::string(200, 'b'));
  ASSERT_EQ(cut.size(), 63u);
  EXPECT_EQ(cut.back(), L'\x2026');
  EXPECT_EQ(cut.substr(0, 62), std::wstring(62, L'b'));

  // A character outside the basic plane straddling the cut is dropped whole.
  std::string s(61, 'c');
  s += "\xf0\x9f\x93\x81";  // two UTF-16 units at positions 61 and 62
  s += "tail";
  std::wstring w = CSystemTray::FitTip(s);
  ASSERT_LE(w.size(), 63u);
  EXPECT_EQ(w.back(), L'\x2026');
  for (wchar_t c : w) EXPECT_FALSE(IS_HIGH_SURROGATE(c) || IS_LOW_SURROGATE(c));
}

TEST(SystemTray, DoesNothingUntilAdded) {
  CSystemTray tray;
  EXPECT_FALSE(tray.IsAvailable());
  EXPECT_FALSE(tray.ChangeTip("x"));
  EXPECT_FALSE(tray.ChangeIcon(TrayIcon()));
  EXPECT_EQ(tray.TipText(), "");
  EXPECT_EQ(tray.CurrentIcon(), nullptr);
  tray.WithdrawIcon();
  EXPECT_FALSE(tray.IsWithdrawn());
}

TEST(SystemTray, AddsChangesWithdrawsAndDeletesTheIcon) {
  CSystemTray tray;
  HICON icon = TrayIcon();
  ASSERT_NE(icon, nullptr);
  ASSERT_TRUE(tray.AddIcon(nullptr, WM_TRAYICON_EVENT, "Tolva - Your Ziravadi Downloader", icon,
                           IDR_TRAY_POPUP));
  EXPECT_EQ(tray.TipText(), "Tolva - Your Ziravadi Downloader");
  EXPECT_EQ(tray.CurrentIcon(), icon);

  EXPECT_TRUE(tray.ChangeTip("line one\nline two"));
  EXPECT_EQ(tray.TipText(), "line one\nline two");
  EXPECT_TRUE(tray.ChangeTip(std::string(100, 'x')));
  EXPECT_EQ(tray.TipText().size(), 62u + 3u);  // 62 letters and a 3-byte ellipsis

  tray.WithdrawIcon();
  EXPECT_TRUE(tray.IsWithdrawn());
  EXPECT_TRUE(tray.IsAvailable());
  // The tip set while withdrawn is what the re-added icon carries.
  tray.ChangeTip("after the shell restarted");
  tray.ReAddIcon();
  EXPECT_FALSE(tray.IsWithdrawn());
  EXPECT_EQ(tray.TipText(), "after the shell restarted");
  EXPECT_TRUE(tray.ChangeTip("and it takes changes again"));

  EXPECT_TRUE(tray.ChangeStandardIcon(IDI_APPLICATION));
  EXPECT_NE(tray.CurrentIcon(), icon);
  EXPECT_TRUE(tray.ChangeIcon(IDI_TRAY));

  tray.DeleteIcon();
  EXPECT_FALSE(tray.IsAvailable());
  EXPECT_FALSE(tray.ChangeTip("gone"));
}

TEST(SystemTray, OnlyDoubleClickAndRightReleaseOnItsOwnIconAct) {
  CommandSink main;
  ASSERT_TRUE(
      main.Create(L"TolvaTrayTestSink", "sink", WS_POPUP, 0, 0, 0, 10, 10, nullptr, nullptr));
  CSystemTray tray;
  ASSERT_TRUE(tray.AddIcon(nullptr, WM_TRAYICON_EVENT, "tip", TrayIcon(), IDR_TRAY_POPUP));
  tray.SetMainWindow(main.Hwnd());
  ASSERT_TRUE(tray.ChooseDefaultItem(0, true));

  // Another icon's callback is not ours.
  EXPECT_EQ(SendMessageW(tray.Hwnd(), WM_TRAYICON_EVENT, IDR_TRAY_POPUP + 1, WM_LBUTTONDBLCLK), 0);
  for (UINT ignored : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_MOUSEMOVE})
    EXPECT_EQ(SendMessageW(tray.Hwnd(), WM_TRAYICON_EVENT, IDR_TRAY_POPUP, ignored), 1);
  EXPECT_TRUE(main.commands.empty());

  // A double click runs the default item, "Show" at position 0.
  EXPECT_EQ(SendMessageW(tray.Hwnd(), WM_TRAYICON_EVENT, IDR_TRAY_POPUP, WM_LBUTTONDBLCLK), 1);
  ASSERT_EQ(main.commands.size(), 1u);
  EXPECT_EQ(main.commands[0], UINT(ID_TRAY_SHOW));

  // The same pair again is accepted at once; a command id works as default too.
  EXPECT_TRUE(tray.ChooseDefaultItem(0, true));
  EXPECT_TRUE(tray.ChooseDefaultItem(ID_TRAY_EXIT, false));
  SendMessageW(tray.Hwnd(), WM_TRAYICON_EVENT, IDR_TRAY_POPUP, WM_LBUTTONDBLCLK);
  ASSERT_EQ(main.commands.size(), 2u);
  EXPECT_EQ(main.commands[1], UINT(ID_TRAY_EXIT));
}

}  // namespace
