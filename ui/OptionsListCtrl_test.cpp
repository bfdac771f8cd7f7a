// The option list driven the way a user drives it: mouse messages at item positions,
// keys and the wheel, on a real owner-drawn button in a shown window.
#include "ui/OptionsListCtrl.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "winui/Window.h"

namespace {

constexpr int kListId = 1002;

class Host : public winui::Window {
 public:
  std::vector<std::pair<int, int>> notes;  // (item ID, new state)
  HWND list = nullptr;

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == WM_NOTIFY) {
      auto* nm = reinterpret_cast<NMOPTIONITEM*>(lParam);
      if (nm->hdr.hwndFrom == list && nm->hdr.idFrom == kListId && nm->hdr.code == 0 &&
          wParam == kListId)
        notes.emplace_back(nm->id, nm->state);
      return 0;
    }
    return Window::HandleMessage(msg, wParam, lParam);
  }
};

class OptionsListTest : public ::testing::Test {
 protected:
  // One shown top-level window for the whole program: under Wine without a window
  // manager, every top-level window takes seconds to go away.
  static void SetUpTestSuite() {
    host = new Host;
    ASSERT_TRUE(host->Create(L"TolvaOptionListHost", "host", WS_OVERLAPPEDWINDOW, 0, 20, 20, 400,
                             300, nullptr, nullptr));
  }
  static void TearDownTestSuite() {
    delete host;
    host = nullptr;
  }
  void TearDown() override {
    ctrl.Detach();
    if (host->list) DestroyWindow(host->list);
    host->list = nullptr;
    host->notes.clear();
  }

  // A list whose client area is 150 pixels high holds 9 whole rows.
  void Create(int height = 150) {
    host->list = CreateWindowExW(
        0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, 10, 10, 300, height,
        host->Hwnd(), reinterpret_cast<HMENU>(kListId), GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(host->list, nullptr);
    ASSERT_TRUE(ctrl.Attach(host->list));
  }
  void Show() {
    ShowWindow(host->Hwnd(), SW_SHOW);
    UpdateWindow(host->Hwnd());
    SetFocus(host->list);
    ASSERT_EQ(GetFocus(), host->list);
  }
  void ClickAt(POINT pt) {
    LPARAM at = MAKELPARAM(pt.x, pt.y);
    SendMessageW(host->list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(host->list, WM_LBUTTONUP, 0, at);
  }
  void Click(int index) {
    const RECT& r = ctrl.Item(index).rect;
    ClickAt({r.left + 6, (r.top + r.bottom) / 2});
  }
  void Key(UINT vk, bool ctrlDown = false) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = ctrlDown ? 0x80 : 0;
    SetKeyboardState(keys);
    SendMessageW(host->list, WM_KEYDOWN, vk, 1);
    SendMessageW(host->list, WM_KEYUP, vk, 0xC0000001);
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
  }
  void Wheel(int delta) {
    SendMessageW(host->list, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(delta)), 0);
  }
  void AddThirteen() {
    for (int i = 0; i < 13; ++i) ctrl.AddCheck("option " + std::to_string(i), 100 + i, 0, 1);
  }
  using Notes = std::vector<std::pair<int, int>>;

  static Host* host;
  COptionsListCtrl ctrl;
};

Host* OptionsListTest::host = nullptr;

TEST_F(OptionsListTest, SelectingARadioItemClearsTheRestOfItsGroupInListOrder) {
  Create();
  ctrl.AddHeading("Speed", 0, 0);
  ctrl.AddRadio("one", 11, 1, 1);
  ctrl.AddRadio("two", 12, 0, 1);
  ctrl.AddRadio("three", 13, 0, 1);
  Show();

  Click(3);
  EXPECT_EQ(host->notes, (Notes{{11, 0}, {13, 1}}));
  EXPECT_EQ(ctrl.GetItemState(11), 0);
  EXPECT_EQ(ctrl.GetItemState(13), 1);
  EXPECT_EQ(ctrl.FocusedIndex(), 3);

  // A group holding two selections, as the parent may set it up.
  host->notes.clear();
  EXPECT_TRUE(ctrl.SetItemState(11, 1));
  EXPECT_TRUE(host->notes.empty());
  Click(1);  // already selected: nothing changes, nothing is sent
  EXPECT_TRUE(host->notes.empty());
  EXPECT_EQ(ctrl.GetItemState(11), 1);
  EXPECT_EQ(ctrl.GetItemState(13), 1);
  EXPECT_EQ(ctrl.FocusedIndex(), 1);
  Click(2);
  EXPECT_EQ(host->notes, (Notes{{11, 0}, {13, 0}, {12, 1}}));

  EXPECT_FALSE(ctrl.SetItemState(99, 1));
  EXPECT_EQ(ctrl.GetItemState(99), 0);
}

TEST_F(OptionsListTest, AHeadingSeparatesRadioRunsAndTakesOnlyTheFocus) {
  Create();
  ctrl.AddRadio("a", 1, 1, 1);
  ctrl.AddRadio("b", 2, 0, 1);
  ctrl.AddHeading("Between", 0, 1);
  ctrl.AddRadio("c", 3, 1, 1);
  ctrl.AddRadio("d", 4, 0, 1);
  Show();

  Click(1);
  EXPECT_EQ(host->notes, (Notes{{1, 0}, {2, 1}}));
  EXPECT_EQ(ctrl.GetItemState(3), 1);

  host->notes.clear();
  Click(2);
  EXPECT_TRUE(host->notes.empty());
  EXPECT_EQ(ctrl.FocusedIndex(), 2);
  Key(VK_SPACE);  // activating a heading does nothing either
  EXPECT_TRUE(host->notes.empty());
}

TEST_F(OptionsListTest, CheckBoxesFlipOnClickSpaceAndEveryClickOfADoubleClick) {
  Create();
  ctrl.AddHeading("Interface", 0, 0);
  ctrl.AddCheck("save", 7, 1, 1);
  Show();

  Click(1);
  EXPECT_EQ(host->notes, (Notes{{7, 0}}));
  Key(VK_SPACE);
  EXPECT_EQ(host->notes, (Notes{{7, 0}, {7, 1}}));

  const RECT r = ctrl.Item(1).rect;
  LPARAM at = MAKELPARAM(r.left + 4, r.top + 4);
  SendMessageW(host->list, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageW(host->list, WM_LBUTTONUP, 0, at);
  SendMessageW(host->list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
  SendMessageW(host->list, WM_LBUTTONUP, 0, at);
  EXPECT_EQ(ctrl.GetItemState(7), 1);
  EXPECT_EQ(host->notes.size(), 4u);

  // Beside every item, or released outside the control: nothing.
  host->notes.clear();
  ClickAt({r.right + 10, r.top + 4});
  SendMessageW(host->list, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageW(host->list, WM_LBUTTONUP, 0, MAKELPARAM(500, 10));
  EXPECT_TRUE(host->notes.empty());
}

TEST_F(OptionsListTest, KeysMoveTheFocusAndScrollItIntoView) {
  Create();
  AddThirteen();
  Show();
  ASSERT_EQ(ctrl.VisibleRows(), 9);
  EXPECT_EQ(ctrl.FocusedIndex(), 0);

  Key(VK_UP);
  EXPECT_EQ(ctrl.FocusedIndex(), 0);
  Key(VK_NEXT);
  EXPECT_EQ(ctrl.FocusedIndex(), 8);
  EXPECT_EQ(ctrl.TopIndex(), 0);
  Key(VK_DOWN);  // off the bottom row: scrolls one row first
  EXPECT_EQ(ctrl.FocusedIndex(), 9);
  EXPECT_EQ(ctrl.TopIndex(), 1);
  Key(VK_END);
  EXPECT_EQ(ctrl.FocusedIndex(), 12);
  EXPECT_EQ(ctrl.TopIndex(), 4);
  EXPECT_EQ(ctrl.Item(12).rect.top, 2 + 16 * 8);
  Key(VK_DOWN);
  Key(VK_NEXT);
  EXPECT_EQ(ctrl.FocusedIndex(), 12);
  Key(VK_PRIOR);
  EXPECT_EQ(ctrl.FocusedIndex(), 4);
  Key(VK_HOME);
  EXPECT_EQ(ctrl.FocusedIndex(), 0);
  EXPECT_EQ(ctrl.TopIndex(), 0);
  EXPECT_EQ(ctrl.Item(0).rect.top, 2);

  // Ctrl+Down scrolls without moving the focus; moving never changes a state.
  Key(VK_DOWN, true);
  EXPECT_EQ(ctrl.TopIndex(), 1);
  EXPECT_EQ(ctrl.FocusedIndex(), 0);
  Key(VK_UP, true);
  Key(VK_UP, true);
  EXPECT_EQ(ctrl.TopIndex(), 0);
  EXPECT_TRUE(host->notes.empty());
  EXPECT_EQ(SendMessageW(host->list, WM_GETDLGCODE, 0, 0), DLGC_WANTARROWS);
}

TEST_F(OptionsListTest, WheelAndScrollBarScrollWithinBounds) {
  Create();
  AddThirteen();
  Show();
  HWND bar = ctrl.ScrollBar();
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(GetDlgCtrlID(bar), 1000);
  EXPECT_TRUE(IsWindowVisible(bar));
  RECT client;
  GetClientRect(host->list, &client);
  EXPECT_EQ(ctrl.ListArea().right, client.right - 2 - GetSystemMetrics(SM_CXVSCROLL));

  Wheel(-120);
  EXPECT_EQ(ctrl.TopIndex(), 1);
  EXPECT_EQ(ctrl.Item(0).rect.top, 2 - 16);
  SCROLLINFO si{};
  si.cbSize = sizeof(si);
  si.fMask = SIF_ALL;
  GetScrollInfo(bar, SB_CTL, &si);
  EXPECT_EQ(si.nMin, 0);
  EXPECT_EQ(si.nMax, 12);
  EXPECT_EQ(si.nPage, 9u);
  EXPECT_EQ(si.nPos, 1);

  SendMessageW(host->list, WM_VSCROLL, SB_PAGEDOWN, reinterpret_cast<LPARAM>(bar));
  EXPECT_EQ(ctrl.TopIndex(), 4);
  Wheel(-120);  // already at the last top index
  EXPECT_EQ(ctrl.TopIndex(), 4);
  Wheel(240);
  EXPECT_EQ(ctrl.TopIndex(), 2);
  Wheel(60);  // less than a step
  EXPECT_EQ(ctrl.TopIndex(), 2);
  SendMessageW(host->list, WM_VSCROLL, MAKEWPARAM(SB_THUMBPOSITION, 3),
               reinterpret_cast<LPARAM>(bar));
  EXPECT_EQ(ctrl.TopIndex(), 3);
  SendMessageW(host->list, WM_VSCROLL, SB_TOP, reinterpret_cast<LPARAM>(bar));
  EXPECT_EQ(ctrl.TopIndex(), 0);
  SendMessageW(host->list, WM_VSCROLL, SB_BOTTOM, reinterpret_cast<LPARAM>(bar));
  EXPECT_EQ(ctrl.TopIndex(), 4);
  EXPECT_EQ(ctrl.Item(4).rect.top, 2);

  // Rows scrolled away or cut by the bottom edge cannot be clicked.
  ClickAt({ctrl.Item(3).rect.left + 4, ctrl.Item(3).rect.bottom - 1});  // above: y < 2
  SendMessageW(host->list, WM_VSCROLL, SB_TOP, reinterpret_cast<LPARAM>(bar));
  const RECT cut = ctrl.Item(9).rect;
  ASSERT_GT(cut.bottom, ctrl.ListArea().bottom);
  ClickAt({cut.left + 4, ctrl.ListArea().bottom - 1});
  EXPECT_TRUE(host->notes.empty());
  EXPECT_EQ(ctrl.GetItemState(109), 0);
}

TEST_F(OptionsListTest, AllItemsVisibleHidesTheScrollBar) {
  Create();
  for (int i = 0; i < 5; ++i) ctrl.AddCheck("o", i + 1, 0, 0);
  Show();
  RECT client;
  GetClientRect(host->list, &client);
  EXPECT_FALSE(IsWindowVisible(ctrl.ScrollBar()));
  EXPECT_EQ(ctrl.ListArea().right, client.right - 2);
  Wheel(-120);
  EXPECT_EQ(ctrl.TopIndex(), 0);
}

// Renders the control into a bitmap the way the window draws itself.
class Capture {
 public:
  explicit Capture(HWND wnd) {
    GetClientRect(wnd, &rc_);
    HDC screen = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screen);
    bmp_ = CreateCompatibleBitmap(screen, rc_.right, rc_.bottom);
    ReleaseDC(nullptr, screen);
    old_ = SelectObject(dc_, bmp_);
    SendMessageW(wnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc_), PRF_CLIENT);
  }
  ~Capture() {
    SelectObject(dc_, old_);
    DeleteObject(bmp_);
    DeleteDC(dc_);
  }
  COLORREF At(int x, int y) const { return GetPixel(dc_, x, y); }
  // Whether any pixel of the rectangle has this colour.
  bool Has(RECT r, COLORREF c) const {
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x)
        if (At(x, y) == c) return true;
    return false;
  }

 private:
  RECT rc_{};
  HDC dc_ = nullptr;
  HBITMAP bmp_ = nullptr;
  HGDIOBJ old_ = nullptr;
};

TEST_F(OptionsListTest, DrawsGlyphsFocusMarkAndBlankCutRows) {
  Create();
  ctrl.AddCheck("checked", 1, 1, 0);
  ctrl.AddCheck("clear", 2, 0, 0);
  for (int i = 0; i < 11; ++i) ctrl.AddRadio("r", 10 + i, i == 0, 1);
  Show();

  const COLORREF window = GetSysColor(COLOR_WINDOW);
  const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
  Capture shot(host->list);
  const RECT a = ctrl.Item(0).rect, b = ctrl.Item(1).rect;
  // The check mark is black; the clear box has none.
  EXPECT_TRUE(shot.Has({a.left, a.top, a.left + 13, a.bottom}, RGB(0, 0, 0)));
  EXPECT_FALSE(shot.Has({b.left, b.top, b.left + 13, b.bottom}, RGB(0, 0, 0)));
  // Focused item with the keyboard focus: highlighted text cell; the other is not.
  EXPECT_EQ(shot.At(a.left + 19, a.top + 8), highlight);
  EXPECT_EQ(shot.At(b.left + 19, b.top + 8), window);
  // The sunken border and the cut row below the ninth.
  EXPECT_EQ(shot.At(0, 5), GetSysColor(COLOR_BTNSHADOW));
  EXPECT_EQ(shot.At(1, 5), GetSysColor(COLOR_3DDKSHADOW));
  const RECT cut = ctrl.Item(9).rect;
  EXPECT_FALSE(shot.Has({cut.left, cut.top, cut.left + 13, ctrl.ListArea().bottom},
                        GetSysColor(COLOR_BTNSHADOW)));

  // Without the keyboard focus, no item is highlighted.
  SetFocus(host->Hwnd());
  Capture unfocused(host->list);
  EXPECT_EQ(unfocused.At(a.left + 19, a.top + 8), window);
}

}  // namespace
