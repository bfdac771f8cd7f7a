// The window layer's dispatch: the object behind a window gets its messages from
// creation to destruction, and forgets the window once it is gone.
#include <gtest/gtest.h>

#include <vector>

#include "winui/Window.h"

namespace {

class RecordingWindow : public winui::Window {
 public:
  std::vector<UINT> seen;

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == WM_NCCREATE || msg == WM_CREATE || msg == WM_APP + 1 || msg == WM_NCDESTROY)
      seen.push_back(msg);
    if (msg == WM_APP + 1) return 42;
    return Window::HandleMessage(msg, wParam, lParam);
  }
};

TEST(Window, ForwardsEveryMessageToItsObjectUntilDestroyed) {
  RecordingWindow w;
  ASSERT_TRUE(w.Create(L"TolvaTestWindow", "caption", WS_OVERLAPPEDWINDOW, 0, 0, 0, 200, 100,
                       nullptr, nullptr));
  ASSERT_NE(w.Hwnd(), nullptr);
  wchar_t text[32]{};
  GetWindowTextW(w.Hwnd(), text, 32);
  EXPECT_STREQ(text, L"caption");
  EXPECT_EQ(SendMessageW(w.Hwnd(), WM_APP + 1, 0, 0), 42);
  HWND hwnd = w.Hwnd();
  w.Destroy();
  EXPECT_EQ(w.Hwnd(), nullptr);
  EXPECT_FALSE(IsWindow(hwnd));
  ASSERT_EQ(w.seen.size(), 4u);
  EXPECT_EQ(w.seen.front(), UINT(WM_NCCREATE));
  EXPECT_EQ(w.seen.back(), UINT(WM_NCDESTROY));
}

TEST(Window, SecondWindowOfTheSameClassRegistersOnce) {
  RecordingWindow a, b;
  EXPECT_TRUE(a.Create(L"TolvaTestWindow2", "a", WS_POPUP, 0, 0, 0, 10, 10, nullptr, nullptr));
  EXPECT_TRUE(b.Create(L"TolvaTestWindow2", "b", WS_POPUP, 0, 0, 0, 10, 10, nullptr, nullptr));
  EXPECT_NE(a.Hwnd(), b.Hwnd());
}

}  // namespace
