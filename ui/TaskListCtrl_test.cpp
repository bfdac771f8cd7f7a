// Rows rendered to a bitmap the way the list paints them, then read back pixel by
// pixel: bar colours by state, the percentage text, the speed cell, deleted rows.
#include "ui/TaskListCtrl.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <vector>

#include "testing/Testing.h"
#include "base/Utf8.h"
#include "winui/Window.h"

namespace {

const int kWidths[] = {143, 150, 70, 150, 150, 150};

class Host : public winui::Window {};

class TaskListRendering : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    kernel.SetListPath(temp.File("list.info"));
    // Sources that do not exist: the tasks stay closed and the test owns every field.
    ASSERT_TRUE(kernel.AddTasks({"Z:\\nowhere\\running.bin", "Z:\\nowhere\\done.bin",
                                 "Z:\\nowhere\\stopped.bin", "Z:\\nowhere\\gone.bin"},
                                temp.Folder("out")));
    ASSERT_EQ(kernel.GetTaskCount(), 4);
    Set(0, TS_DOWNLOADED, 500, 1000, 1.5f);
    Set(1, TS_COMPLETED, 300, 1000, 9.0f);  // counters below the size on purpose
    Set(2, TS_WRITE_ERROR, 250, 1000, 2.0f);
    Set(3, TS_READY, 0, 0, 0.0f);

    ASSERT_TRUE(host.Create(L"TolvaListTestHost", "host", WS_OVERLAPPEDWINDOW, 0, 0, 0, 900, 300,
                            nullptr, nullptr));
    HWND lv = CreateWindowExW(0, WC_LISTVIEWW, L"",
                              WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_SINGLESEL |
                                  LVS_SHOWSELALWAYS | LVS_OWNERDRAWFIXED | LVS_OWNERDATA,
                              0, 0, 880, 260, host.Hwnd(), nullptr, nullptr, nullptr);
    ASSERT_NE(lv, nullptr);
    list.Attach(lv);
    SendMessageW(lv, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), 0);
    for (int c = 0; c < 6; ++c) list.InsertColumn(c, "c", kWidths[c], LVCFMT_LEFT);
    list.SetItemCount(4);
    list.SetBkColor(CTaskListCtrl::kBackground);
  }

  void Set(int i, int state, uint64_t offset, uint64_t size, float speed) {
    CDownloadTask* t = kernel.GetTask(i);
    t->SetState(state);
    t->GetState();
    t->offset = offset;
    t->fileSize = size;
    t->speed = speed;
  }

  // Paints the list into a bitmap of its client size, as WM_DRAWITEM would.
  void Render() {
    RECT client;
    GetClientRect(list.Hwnd(), &client);
    HDC screen = GetDC(nullptr);
    dc = CreateCompatibleDC(screen);
    bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    ReleaseDC(nullptr, screen);
    old = SelectObject(dc, bitmap);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    DRAWITEMSTRUCT item{};
    item.CtlType = ODT_LISTVIEW;
    item.itemID = 0;
    item.hDC = dc;
    item.rcItem = list.ItemRect(0);
    list.DrawItem(item);
  }

  void TearDown() override {
    if (dc) {
      SelectObject(dc, old);
      DeleteObject(bitmap);
      DeleteDC(dc);
    }
  }

  COLORREF Pixel(int x, int y) const { return GetPixel(dc, x, y); }

  // The bar's inside for row i: two frames inside the cell's bar area.
  RECT BarInside(int i) {
    RECT cell = list.SubItemRect(i, 1);
    RECT bar = cell;
    bar.right -= RefWidth() + 25;
    InflateRect(&bar, -4, -3);
    return bar;
  }

  int RefWidth() {
    HDC screen = GetDC(list.Hwnd());
    HGDIOBJ f = SelectObject(screen, list.Font());
    SIZE s{};
    GetTextExtentPoint32W(screen, L"100.0%", 6, &s);
    SelectObject(screen, f);
    ReleaseDC(list.Hwnd(), screen);
    return s.cx;
  }

  // True when the rectangle of the rendered list shows exactly `text` drawn in
  // `colour` from its left edge, on the list background.
  bool ShowsText(RECT r, const std::string& text, COLORREF colour) {
    HDC ref = CreateCompatibleDC(dc);
    HBITMAP bmp = CreateCompatibleBitmap(dc, r.right - r.left, r.bottom - r.top);
    HGDIOBJ oldBmp = SelectObject(ref, bmp);
    RECT local{0, 0, r.right - r.left, r.bottom - r.top};
    HBRUSH bk = CreateSolidBrush(CTaskListCtrl::kBackground);
    FillRect(ref, &local, bk);
    DeleteObject(bk);
    SelectObject(ref, list.Font());
    SetBkMode(ref, TRANSPARENT);
    SetTextColor(ref, colour);
    std::wstring w = base::Widen(text);
    DrawTextW(ref, w.c_str(), -1, &local, DT_SINGLELINE | DT_LEFT | DT_VCENTER | DT_NOPREFIX);
    bool same = true, inked = false;
    for (int y = 0; y < local.bottom && same; ++y)
      for (int x = 0; x < local.right && same; ++x) {
        COLORREF want = GetPixel(ref, x, y);
        same = Pixel(r.left + x, r.top + y) == want;
        inked |= want != CTaskListCtrl::kBackground;
      }
    SelectObject(ref, oldBmp);
    DeleteObject(bmp);
    DeleteDC(ref);
    return same && inked;
  }

  tolvatest::TempFolder temp;
  CDownloaderKernel kernel;
  Host host;
  CTaskListCtrl list{kernel};
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
};

TEST_F(TaskListRendering, BarColourFollowsTheState) {
  Render();
  RECT running = BarInside(0), done = BarInside(1), stopped = BarInside(2), empty = BarInside(3);
  int mid = (running.top + running.bottom) / 2;
  int width = running.right - running.left;
  // Running at 50 %: filled on the left, white on the right.
  EXPECT_EQ(Pixel(running.left + width / 4, mid), CTaskListCtrl::kActiveBar);
  EXPECT_EQ(Pixel(running.right - width / 4, mid), RGB(255, 255, 255));
  // Completed: full bar whatever the counters say.
  int midDone = (done.top + done.bottom) / 2;
  EXPECT_EQ(Pixel(done.left + 1, midDone), CTaskListCtrl::kCompletedBar);
  EXPECT_EQ(Pixel(done.right - 2, midDone), CTaskListCtrl::kCompletedBar);
  // Stopped at 25 %: pale fill, then white.
  int midStopped = (stopped.top + stopped.bottom) / 2;
  EXPECT_EQ(Pixel(stopped.left + width / 8, midStopped), CTaskListCtrl::kOtherBar);
  EXPECT_EQ(Pixel(stopped.left + width / 2, midStopped), RGB(255, 255, 255));
  // No size known yet: frames with nothing filled.
  int midEmpty = (empty.top + empty.bottom) / 2;
  EXPECT_EQ(Pixel(empty.left, midEmpty), RGB(255, 255, 255));
  EXPECT_EQ(Pixel(empty.left - 2, midEmpty), CTaskListCtrl::kOuterFrame);
  EXPECT_EQ(Pixel(empty.left - 1, midEmpty), CTaskListCtrl::kInnerFrame);
}

TEST_F(TaskListRendering, PercentageAndSpeedCells) {
  Render();
  int ref = RefWidth();
  RECT cell = list.SubItemRect(1, 1);
  RECT text{cell.right - ref - 5, cell.top, cell.right, cell.bottom};
  EXPECT_TRUE(ShowsText(text, "100.0%", RGB(0, 0, 0)));
  cell = list.SubItemRect(0, 1);
  text = {cell.right - ref - 5, cell.top, cell.right, cell.bottom};
  EXPECT_TRUE(ShowsText(text, "50.0%", RGB(0, 0, 0)));
  cell = list.SubItemRect(3, 1);
  text = {cell.right - ref - 5, cell.top, cell.right, cell.bottom};
  EXPECT_TRUE(ShowsText(text, "0.0%", RGB(0, 0, 0)));

  // A completed task shows no speed at all.
  RECT speed = list.SubItemRect(1, 2);
  for (int y = speed.top; y < speed.bottom; ++y)
    for (int x = speed.left; x < speed.right; ++x)
      ASSERT_EQ(Pixel(x, y), CTaskListCtrl::kBackground) << x << "," << y;
  // A stopped one keeps its last speed, right-aligned.
  speed = list.SubItemRect(2, 2);
  HDC screen = GetDC(list.Hwnd());
  SelectObject(screen, list.Font());
  SIZE s{};
  GetTextExtentPoint32W(screen, L"2.0 Mbps", 8, &s);
  ReleaseDC(list.Hwnd(), screen);
  EXPECT_TRUE(ShowsText({speed.right - s.cx - 5, speed.top, speed.right, speed.bottom}, "2.0 Mbps",
                        RGB(0, 0, 0)));

  RECT total = list.SubItemRect(0, 3);
  EXPECT_TRUE(
      ShowsText({total.left + 2, total.top, total.right, total.bottom}, "500 bytes", RGB(0, 0, 0)));
  // A finished file shows its size, not where its last chunk began.
  total = list.SubItemRect(1, 3);
  EXPECT_TRUE(ShowsText({total.left + 2, total.top, total.right, total.bottom}, "1000 bytes",
                        RGB(0, 0, 0)));
}

TEST_F(TaskListRendering, SelectedRowIsBlueAndDeletedRowIsEmpty) {
  list.Select(2);
  kernel.GetTask(3)->SetState(TS_DELETED);
  kernel.GetTask(3)->GetState();
  Render();
  RECT name = list.SubItemRect(2, 0);
  EXPECT_TRUE(ShowsText({name.left + 2, name.top, name.right, name.bottom}, "stopped",
                        CTaskListCtrl::kSelectedText));
  name = list.SubItemRect(0, 0);
  EXPECT_TRUE(
      ShowsText({name.left + 2, name.top, name.right, name.bottom}, "running", RGB(0, 0, 0)));
  RECT row = list.ItemRect(3);
  for (int y = row.top; y < row.bottom; ++y)
    for (int x = row.left; x < row.right; ++x)
      ASSERT_EQ(Pixel(x, y), CTaskListCtrl::kBackground) << x << "," << y;
}

TEST_F(TaskListRendering, TextTooWideForItsCellStaysInItsColumn) {
  list.SetColumnWidth(2, 40);
  kernel.GetTask(2)->speed = 2925.7f;
  Render();
  // Right of the percentage text the progress cell shows only background.
  RECT cell = list.SubItemRect(2, 1);
  HDC screen = GetDC(list.Hwnd());
  SelectObject(screen, list.Font());
  SIZE percent{};
  GetTextExtentPoint32W(screen, L"25.0%", 5, &percent);
  ReleaseDC(list.Hwnd(), screen);
  int inked = 0;
  for (int y = cell.top; y < cell.bottom; ++y)
    for (int x = cell.right - RefWidth() - 5 + percent.cx + 1; x < cell.right; ++x)
      inked += Pixel(x, y) != CTaskListCtrl::kBackground;
  EXPECT_EQ(inked, 0);
}

// The list's own window as it is drawn, scroll bar and frame included.
std::vector<COLORREF> Capture(HWND window) {
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC from = GetWindowDC(window);
  HDC to = CreateCompatibleDC(from);
  HBITMAP bitmap = CreateCompatibleBitmap(from, w, h);
  HGDIOBJ old = SelectObject(to, bitmap);
  BitBlt(to, 0, 0, w, h, from, 0, 0, SRCCOPY);
  std::vector<COLORREF> pixels;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixels.push_back(GetPixel(to, x, y));
  SelectObject(to, old);
  DeleteObject(bitmap);
  DeleteDC(to);
  ReleaseDC(window, from);
  return pixels;
}

TEST_F(TaskListRendering, RowsToldUnderAShownBarLeaveTheBarAsAFullRedrawDrawsIt) {
  ShowWindow(host.Hwnd(), SW_SHOWNOACTIVATE);
  HWND lv = list.Hwnd();
  ASSERT_TRUE(list.SetRowCount(20));
  UpdateWindow(host.Hwnd());
  ASSERT_TRUE(GetWindowLongPtrW(lv, GWL_STYLE) & WS_VSCROLL) << "20 rows must need a bar";
  const std::vector<COLORREF> twenty = Capture(lv);

  // The quiet way: the bar is drawn by the paint that follows, not by the count.
  ASSERT_TRUE(list.SetRowCount(30));
  ASSERT_TRUE(list.SetRowCount(300));
  EXPECT_EQ(list.ItemCount(), 300);
  EXPECT_TRUE(GetWindowLongPtrW(lv, GWL_STYLE) & WS_VISIBLE);
  SCROLLINFO info{};
  info.cbSize = sizeof info;
  info.fMask = SIF_RANGE;
  ASSERT_TRUE(GetScrollInfo(lv, SB_VERT, &info));
  EXPECT_EQ(info.nMax, 299);
  UpdateWindow(host.Hwnd());
  const std::vector<COLORREF> told = Capture(lv);
  EXPECT_NE(told, twenty) << "the thumb must have moved, or this proves nothing";

  RedrawWindow(lv, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  EXPECT_EQ(Capture(lv), told) << "the bar or the rows were left as they were before";

  // Fewer rows take the control's own way and still end in the same picture.
  ASSERT_TRUE(list.SetRowCount(25));
  UpdateWindow(host.Hwnd());
  const std::vector<COLORREF> fewer = Capture(lv);
  RedrawWindow(lv, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  EXPECT_EQ(Capture(lv), fewer);
}

TEST(TaskListText, PercentHandlesEmptyAndLargeFiles) {
  EXPECT_EQ(CTaskListCtrl::Percent(100, 0, TS_READY), 0.0);
  EXPECT_EQ(CTaskListCtrl::Percent(0, 0, TS_COMPLETED), 100.0);
  // Beyond 4 GiB the counters still give the right share.
  EXPECT_DOUBLE_EQ(CTaskListCtrl::Percent(3ull << 31, 6ull << 31, TS_READY), 50.0);
  EXPECT_EQ(CTaskListCtrl::Percent(150, 100, TS_READY), 100.0);
  EXPECT_EQ(CTaskListCtrl::FormatTotal(5000000000ull), "5000000000 bytes");
  EXPECT_EQ(CTaskListCtrl::FormatSpeed(1.25f, "Kbps"), "1.2 Kbps");
}

}  // namespace
