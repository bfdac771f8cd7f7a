// The main window's task list: an owner-drawn report list whose rows are drawn
// straight from the kernel's task records (name, progress bar and percentage, speed,
// byte count, source, destination). Row i shows task i; the control keeps no items,
// only their number, and asks the window for a cell's text (a reader of the screen
// does), which CellText gives.
#pragma once

#include <cstdint>
#include <string>

#include "engine/DownloaderKernel.h"
#include "winui/ListView.h"
#include "winui/Subclass.h"
#include "base/UniqueHandle.h"

class CTaskListCtrl : public winui::ListView {
 public:
  static constexpr COLORREF kBackground = RGB(255, 255, 240);
  static constexpr COLORREF kActiveBar = RGB(0, 200, 0);
  static constexpr COLORREF kCompletedBar = RGB(150, 255, 150);
  static constexpr COLORREF kOtherBar = RGB(220, 255, 220);
  static constexpr COLORREF kOuterFrame = RGB(250, 255, 200);
  static constexpr COLORREF kInnerFrame = RGB(173, 255, 4);
  static constexpr COLORREF kSelectedText = RGB(0, 0, 206);

  explicit CTaskListCtrl(CDownloaderKernel& kernel);

  // Takes over the list control `hwnd` (from the window's template).
  bool Attach(HWND hwnd);

  // Tells the list how many rows it has. More rows under a scroll bar already shown
  // are told without the control drawing its bar on the spot (twice under Wine, a
  // hundred server calls while files copy): the bar is painted with the next paint,
  // and only when its thumb moved.
  bool SetRowCount(int count);

  // Paints every row that has a task (the row named in `item` is not special): a
  // repaint of any one row refreshes them all.
  void DrawItem(const DRAWITEMSTRUCT& item);

  // Percent done: a task with no size shows 0 until it is completed, a completed task
  // 100 whatever its counters say.
  static double Percent(uint64_t offset, uint64_t fileSize, int state);
  static std::string FormatPercent(double percent);                      // "42.0%"
  static std::string FormatSpeed(float speed, const std::string& unit);  // "1.5 Mbps"
  static std::string FormatTotal(uint64_t offset);                       // "262144 bytes"
  // What the row of `task` shows in `column`, as text; a completed task has no speed.
  std::string CellText(const CDownloadTask& task, int column) const;

  // Label drawn after each speed; "Kbps" or "Mbps".
  std::string m_strSpeedUnit = "Mbps";

 private:
  static constexpr int kColumns = 6;
  // Where the first row in view and its cells are; the others are the same, lower.
  struct RowLayout {
    RECT row{};
    int nameWidth = 0;
    RECT cells[kColumns]{};
  };
  void DrawRow(HDC dc, const RowLayout& layout, int down, CDownloadTask& task, bool selected,
               HBRUSH background, int refWidth);

  // Watches the control's own paints: one paint asks for every visible row in turn,
  // and since each request paints all rows, the first one of a paint is enough. It also
  // takes the keys that move tasks before the control moves its focus with them.
  class PaintWatch : public winui::Subclass {
   public:
    bool inPaint = false;
    bool painted = false;
    // While set, the control does not hear of its style changing.
    bool holdStyleNotices = false;

   protected:
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
  };

  CDownloaderKernel& m_kernel;
  PaintWatch m_paintWatch;
  base::UniqueBrush m_brushActive;
  base::UniqueBrush m_brushCompleted;
  base::UniqueBrush m_brushOther;
  base::UniquePen m_penOuter;
  base::UniquePen m_penInner;
};
