#include "ui/TaskListCtrl.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "base/Utf8.h"
#include "resources/main_window_ids.h"
#include "winui/ScopedDc.h"

namespace {

// One line, left-aligned, cut at a word with an ellipsis; '&' is a plain character
// in a file name.
constexpr UINT kTextFormat = DT_SINGLELINE | DT_LEFT | DT_VCENTER | DT_WORD_ELLIPSIS | DT_NOPREFIX;

void DrawCellText(HDC dc, const std::string& text, RECT r) {
  std::wstring w = base::Widen(text);
  DrawTextW(dc, w.c_str(), static_cast<int>(w.size()), &r, kTextFormat);
}

int TextWidth(HDC dc, const std::string& text) {
  std::wstring w = base::Widen(text);
  SIZE size{};
  GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
  return size.cx;
}

}  // namespace

CTaskListCtrl::CTaskListCtrl(CDownloaderKernel& kernel)
    : m_kernel(kernel),
      m_brushActive(CreateSolidBrush(kActiveBar)),
      m_brushCompleted(CreateSolidBrush(kCompletedBar)),
      m_brushOther(CreateSolidBrush(kOtherBar)),
      m_penOuter(CreatePen(PS_SOLID, 1, kOuterFrame)),
      m_penInner(CreatePen(PS_SOLID, 1, kInnerFrame)) {}

bool CTaskListCtrl::Attach(HWND hwnd) {
  ListView::Attach(hwnd);
  return m_paintWatch.Attach(hwnd);
}

bool CTaskListCtrl::SetRowCount(int count) {
  HWND list = Hwnd();
  const LONG_PTR style = GetWindowLongPtrW(list, GWL_STYLE);
  const int old = ItemCount();
  // Only where nothing but the thumb can change: more rows, the bar already there, the
  // list on screen. Anything else may show or hide the bar and lay the list out anew.
  if (count <= old || !(style & WS_VISIBLE) || !(style & WS_VSCROLL) || !m_paintWatch.Hwnd())
    return SetItemCount(count);
  SCROLLBARINFO before{};
  before.cbSize = sizeof before;
  GetScrollBarInfo(list, OBJID_VSCROLL, &before);
  // Off screen for the moment, the control sets the bar's range without drawing it.
  // It must not hear of the style change: it would lay itself out and redraw it all.
  m_paintWatch.holdStyleNotices = true;
  SetWindowLongPtrW(list, GWL_STYLE, style & ~WS_VISIBLE);
  const bool told = SetItemCount(count);
  SetWindowLongPtrW(list, GWL_STYLE, GetWindowLongPtrW(list, GWL_STYLE) | WS_VISIBLE);
  m_paintWatch.holdStyleNotices = false;
  // What the control would have invalidated had it been on screen.
  RECT client{};
  GetClientRect(list, &client);
  const RECT last = ItemRect(old - 1);
  if (last.bottom < client.bottom) {
    const RECT added{client.left, last.bottom, client.right, client.bottom};
    InvalidateRect(list, &added, FALSE);
  }
  SCROLLBARINFO after{};
  after.cbSize = sizeof after;
  GetScrollBarInfo(list, OBJID_VSCROLL, &after);
  if (after.xyThumbTop != before.xyThumbTop || after.xyThumbBottom != before.xyThumbBottom ||
      after.rgstate[0] != before.rgstate[0] ||
      !EqualRect(&after.rcScrollBar, &before.rcScrollBar)) {
    // The bar lies outside the client area, to its right; a frame redraw reaches it.
    RECT bar = after.rcScrollBar;
    MapWindowPoints(HWND_DESKTOP, list, reinterpret_cast<POINT*>(&bar), 2);
    RedrawWindow(list, &bar, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_NOERASE);
  }
  return told;
}

LRESULT CTaskListCtrl::PaintWatch::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (holdStyleNotices && (msg == WM_STYLECHANGING || msg == WM_STYLECHANGED)) return 0;
  // Ctrl+Up and Ctrl+Down move the selected tasks one place: the window hears them as
  // commands, and the list does not also move its focus.
  if (msg == WM_KEYDOWN && (wParam == VK_UP || wParam == VK_DOWN) &&
      (GetKeyState(VK_CONTROL) & 0x8000)) {
    const UINT id = wParam == VK_UP ? ID_TASK_MOVE_UP : ID_TASK_MOVE_DOWN;
    SendMessageW(GetParent(Hwnd()), WM_COMMAND, MAKEWPARAM(id, 0), 0);
    return 0;
  }
  if (msg != WM_PAINT) return Subclass::HandleMessage(msg, wParam, lParam);
  inPaint = true;
  painted = false;
  LRESULT result = Subclass::HandleMessage(msg, wParam, lParam);
  inPaint = false;
  return result;
}

double CTaskListCtrl::Percent(uint64_t offset, uint64_t fileSize, int state) {
  if (state == TS_COMPLETED) return 100.0;
  if (fileSize == 0) return 0.0;
  // A source that shrank under us must not push the bar out of its cell.
  return std::min(100.0, static_cast<double>(offset) / static_cast<double>(fileSize) * 100.0);
}

std::string CTaskListCtrl::FormatPercent(double percent) {
  char text[32];
  snprintf(text, sizeof text, "%.1f%%", percent);
  return text;
}

std::string CTaskListCtrl::FormatSpeed(float speed, const std::string& unit) {
  char text[64];
  snprintf(text, sizeof text, "%.1f ", static_cast<double>(speed));
  return text + unit;
}

std::string CTaskListCtrl::FormatTotal(uint64_t offset) {
  char text[48];
  snprintf(text, sizeof text, "%" PRIu64 " bytes", offset);
  return text;
}

std::string CTaskListCtrl::CellText(const CDownloadTask& task, int column) const {
  const int s = task.lastState;
  switch (column) {
    case 0:
      return task.name;
    case 1:
      return FormatPercent(Percent(task.offset, task.fileSize, s));
    case 2:
      return s == TS_COMPLETED ? std::string() : FormatSpeed(task.speed, m_strSpeedUnit);
    case 3:
      // A finished copy is as big as its file; its offset is where its last chunk began.
      return FormatTotal(s == TS_COMPLETED ? task.fileSize.load() : task.offset.load());
    case 4:
      return task.source;
    case 5:
      return task.Destination();
    default:
      return {};
  }
}

void CTaskListCtrl::DrawItem(const DRAWITEMSTRUCT& item) {
  if (m_paintWatch.inPaint && m_paintWatch.painted) return;
  m_paintWatch.painted = m_paintWatch.inPaint;
  HDC dc = item.hDC;
  base::UniqueBrush background(CreateSolidBrush(BkColor()));
  winui::DcState state(dc);
  if (HFONT font = Font()) SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  int refWidth = TextWidth(dc, FormatPercent(100.0));

  // Only rows in view can be in the paint: a long list costs no more than a short one.
  int rows = std::min(ItemCount(), m_kernel.GetTaskCount());
  int first = std::max(0, TopIndex());
  rows = std::min(rows, first + CountPerPage() + 2);
  if (first >= rows) return;
  // Every row has the cells of the first one, lower down: each question to the control
  // is a message (under Wine a server call, through the subclass), so the layout is
  // asked once per paint, not per row and cell.
  RowLayout layout;
  layout.row = ItemRect(first);
  layout.nameWidth = ColumnWidth(0);
  for (int c = 1; c < kColumns; ++c) layout.cells[c] = SubItemRect(first, c);
  const int height = layout.row.bottom - layout.row.top;
  const bool anySelected = SelectedCount() > 0;
  for (int i = first; i < rows; ++i) {
    CDownloadTask* task = CDownloadTask::Checked(m_kernel.GetTask(i));
    if (task)
      DrawRow(dc, layout, (i - first) * height, *task, anySelected && IsSelected(i),
              background.Get(), refWidth);
  }
}

void CTaskListCtrl::DrawRow(HDC dc, const RowLayout& layout, int down, CDownloadTask& task,
                            bool selected, HBRUSH background, int refWidth) {
  auto cellOf = [&](int column) {
    RECT cell = layout.cells[column];
    OffsetRect(&cell, 0, down);
    return cell;
  };
  RECT row = layout.row;
  OffsetRect(&row, 0, down);
  // Each row's draw request paints every row; those outside the paint are skipped.
  if (!RectVisible(dc, &row)) return;
  FillRect(dc, &row, background);
  int s = task.lastState;
  if (s == TS_DELETED) return;
  SetTextColor(dc, selected ? kSelectedText : RGB(0, 0, 0));

  RECT name = row;
  name.left = row.left + 2;
  name.right = name.left + layout.nameWidth;
  DrawCellText(dc, task.name, name);

  // Progress: two frames and a bar left of the percentage, which starts at the same
  // place in every row.
  double percent = Percent(task.offset, task.fileSize, s);
  RECT cell = cellOf(1);
  FillRect(dc, &cell, background);
  RECT bar = cell;
  bar.right -= refWidth + 25;
  InflateRect(&bar, -2, -1);
  if (bar.right - bar.left > 4 && bar.bottom - bar.top > 4) {
    winui::DcState state(dc);
    SelectObject(dc, m_penOuter.Get());
    SelectObject(dc, GetStockObject(WHITE_BRUSH));
    Rectangle(dc, bar.left, bar.top, bar.right, bar.bottom);
    InflateRect(&bar, -1, -1);
    SelectObject(dc, m_penInner.Get());
    Rectangle(dc, bar.left, bar.top, bar.right, bar.bottom);
    InflateRect(&bar, -1, -1);
    bar.right = static_cast<LONG>(bar.left + (bar.right - bar.left) * (percent / 100.0));
    HBRUSH fill = (s == TS_READY || s == TS_DOWNLOADED) ? m_brushActive.Get()
                  : s == TS_COMPLETED                   ? m_brushCompleted.Get()
                                                        : m_brushOther.Get();
    if (bar.right > bar.left) FillRect(dc, &bar, fill);
  }
  RECT text = cell;
  // Never into the column to the left when the cell is narrower than the text.
  text.left = std::max(cell.left, cell.right - refWidth - 5);
  DrawCellText(dc, FormatPercent(percent), text);

  // Speed, right-aligned; a completed task has none.
  if (s != TS_COMPLETED) {
    cell = cellOf(2);
    std::string speed = CellText(task, 2);
    cell.left = std::max(cell.left, cell.right - TextWidth(dc, speed) - 5);
    DrawCellText(dc, speed, cell);
  }

  for (int column = 3; column < kColumns; ++column) {
    cell = cellOf(column);
    cell.left += 2;
    DrawCellText(dc, CellText(task, column), cell);
  }
}
