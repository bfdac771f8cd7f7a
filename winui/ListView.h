// Thin typed access to a report-view list control that someone else created (usually
// from a dialog template). Text is UTF-8 on this side.
#pragma once

#include <string>
#include <vector>

#include "base/Win.h"

namespace winui {

class ListView {
 public:
  ListView() = default;
  explicit ListView(HWND hwnd) : hwnd_(hwnd) {}

  void Attach(HWND hwnd) { hwnd_ = hwnd; }
  HWND Hwnd() const { return hwnd_; }

  bool InsertColumn(int index, const std::string& header, int width, int format);
  int ColumnCount() const;
  int ColumnWidth(int column) const;
  bool SetColumnWidth(int column, int width);
  std::string ColumnHeader(int column) const;

  int ItemCount() const;
  // A list that keeps no items of its own (LVS_OWNERDATA) is told only how many rows
  // it has: rows added or taken at the end keep the view where it is and are drawn
  // with the next paint.
  bool SetItemCount(int count);
  bool DeleteItem(int index);
  std::string ItemText(int index) const;

  // The whole row (all columns), or one column's cell; empty rectangles on failure.
  RECT ItemRect(int index) const;
  RECT SubItemRect(int index, int column) const;
  bool IsSelected(int index) const;
  int SelectedCount() const;
  bool Select(int index);
  int FirstSelected() const;
  // Every selected row, top down.
  std::vector<int> SelectedRows() const;
  // Selects (or clears) every row at once.
  void SelectAll(bool selected);
  // The item under a point in client coordinates, -1 for none.
  int HitTest(POINT client) const;

  COLORREF BkColor() const;
  bool SetBkColor(COLORREF colour);
  HFONT Font() const;
  bool RedrawItems(int first, int last);
  // The first row in view, and how many whole rows the view shows.
  int TopIndex() const;
  // Scrolls the row into view, wholly.
  bool EnsureVisible(int index);
  int CountPerPage() const;

 private:
  HWND hwnd_ = nullptr;
};

}  // namespace winui
