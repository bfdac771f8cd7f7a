#include "winui/ListView.h"

#include <commctrl.h>

#include <vector>

#include "base/Utf8.h"

namespace winui {

bool ListView::InsertColumn(int index, const std::string& header, int width, int format) {
  std::wstring text = base::Widen(header);
  LVCOLUMNW col{};
  col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
  col.fmt = format;
  col.cx = width;
  col.pszText = text.data();
  col.iSubItem = index;
  return SendMessageW(hwnd_, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&col)) >= 0;
}

int ListView::ColumnCount() const {
  HWND header = reinterpret_cast<HWND>(SendMessageW(hwnd_, LVM_GETHEADER, 0, 0));
  return header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

int ListView::ColumnWidth(int column) const {
  return static_cast<int>(SendMessageW(hwnd_, LVM_GETCOLUMNWIDTH, column, 0));
}

bool ListView::SetColumnWidth(int column, int width) {
  return SendMessageW(hwnd_, LVM_SETCOLUMNWIDTH, column, MAKELPARAM(width, 0)) != 0;
}

std::string ListView::ColumnHeader(int column) const {
  wchar_t buffer[256]{};
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT;
  col.pszText = buffer;
  col.cchTextMax = 256;
  if (!SendMessageW(hwnd_, LVM_GETCOLUMNW, column, reinterpret_cast<LPARAM>(&col))) return {};
  return base::Narrow(buffer);
}

int ListView::ItemCount() const {
  return static_cast<int>(SendMessageW(hwnd_, LVM_GETITEMCOUNT, 0, 0));
}

bool ListView::SetItemCount(int count) {
  return SendMessageW(hwnd_, LVM_SETITEMCOUNT, count, LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL) !=
         0;
}

bool ListView::DeleteItem(int index) { return SendMessageW(hwnd_, LVM_DELETEITEM, index, 0) != 0; }

std::string ListView::ItemText(int index) const {
  // The control copies at most the buffer's size; grow until the text fits.
  for (int size = 256; size <= 65536; size *= 4) {
    std::vector<wchar_t> buffer(size);
    LVITEMW item{};
    item.iSubItem = 0;
    item.pszText = buffer.data();
    item.cchTextMax = size;
    int n = static_cast<int>(
        SendMessageW(hwnd_, LVM_GETITEMTEXTW, index, reinterpret_cast<LPARAM>(&item)));
    if (n < size - 1) return base::Narrow(std::wstring_view(buffer.data(), n));
  }
  return {};
}

RECT ListView::ItemRect(int index) const {
  RECT r{};
  r.left = LVIR_BOUNDS;
  if (!SendMessageW(hwnd_, LVM_GETITEMRECT, index, reinterpret_cast<LPARAM>(&r))) return RECT{};
  return r;
}

RECT ListView::SubItemRect(int index, int column) const {
  RECT r{};
  r.top = column;
  r.left = LVIR_BOUNDS;
  if (!SendMessageW(hwnd_, LVM_GETSUBITEMRECT, index, reinterpret_cast<LPARAM>(&r))) return RECT{};
  if (column == 0) {
    // The control reports the whole row for column 0; cut it to the column.
    r.right = r.left + ColumnWidth(0);
  }
  return r;
}

bool ListView::IsSelected(int index) const {
  return (SendMessageW(hwnd_, LVM_GETITEMSTATE, index, LVIS_SELECTED) & LVIS_SELECTED) != 0;
}

int ListView::SelectedCount() const {
  return static_cast<int>(SendMessageW(hwnd_, LVM_GETSELECTEDCOUNT, 0, 0));
}

bool ListView::Select(int index) {
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  item.state = LVIS_SELECTED | LVIS_FOCUSED;
  return SendMessageW(hwnd_, LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&item)) != 0;
}

int ListView::FirstSelected() const {
  return static_cast<int>(
      SendMessageW(hwnd_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), MAKELPARAM(LVNI_SELECTED, 0)));
}

std::vector<int> ListView::SelectedRows() const {
  std::vector<int> rows;
  if (!hwnd_) return rows;
  for (int row = -1;;) {
    row = static_cast<int>(SendMessageW(hwnd_, LVM_GETNEXTITEM, static_cast<WPARAM>(row),
                                        MAKELPARAM(LVNI_SELECTED, 0)));
    if (row < 0) break;
    rows.push_back(row);
  }
  return rows;
}

void ListView::SelectAll(bool selected) {
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED;
  item.state = selected ? LVIS_SELECTED : 0;
  SendMessageW(hwnd_, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
}

int ListView::HitTest(POINT client) const {
  LVHITTESTINFO info{};
  info.pt = client;
  return static_cast<int>(SendMessageW(hwnd_, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&info)));
}

COLORREF ListView::BkColor() const {
  return static_cast<COLORREF>(SendMessageW(hwnd_, LVM_GETBKCOLOR, 0, 0));
}

bool ListView::SetBkColor(COLORREF colour) {
  return SendMessageW(hwnd_, LVM_SETBKCOLOR, 0, colour) != 0;
}

HFONT ListView::Font() const {
  return reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0));
}

bool ListView::RedrawItems(int first, int last) {
  return SendMessageW(hwnd_, LVM_REDRAWITEMS, first, last) != 0;
}

bool ListView::EnsureVisible(int index) {
  return SendMessageW(hwnd_, LVM_ENSUREVISIBLE, static_cast<WPARAM>(index), FALSE) != 0;
}

int ListView::TopIndex() const {
  return static_cast<int>(SendMessageW(hwnd_, LVM_GETTOPINDEX, 0, 0));
}

int ListView::CountPerPage() const {
  return static_cast<int>(SendMessageW(hwnd_, LVM_GETCOUNTPERPAGE, 0, 0));
}

}  // namespace winui
