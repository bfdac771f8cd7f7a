// COptionsListCtrl: first-drawing set-up, layout and painting.
#include <algorithm>

#include "ui/OptionsListCtrl.h"
#include "base/Utf8.h"
#include "winui/ScopedDc.h"

namespace {

constexpr int kGlyphBitmap = 137;
constexpr COLORREF kMagenta = RGB(255, 0, 255);
// Glyph images in the bitmap.
constexpr int kGlyphChecked = 0, kGlyphClear = 1, kRadioSelected = 2, kRadioClear = 3;

void Fill(HDC dc, int left, int top, int right, int bottom, int sysColor) {
  RECT r{left, top, right, bottom};
  FillRect(dc, &r, GetSysColorBrush(sysColor));
}

}  // namespace

RECT COptionsListCtrl::ListArea() const {
  RECT area{};
  if (!Hwnd()) return area;
  GetClientRect(Hwnd(), &area);
  InflateRect(&area, -kBorder, -kBorder);
  if (m_scrollVisible) area.right -= GetSystemMetrics(SM_CXVSCROLL);
  return area;
}

int COptionsListCtrl::VisibleRows() const {
  RECT area = ListArea();
  return std::max(0, static_cast<int>(area.bottom - area.top) / kRowHeight);
}

void COptionsListCtrl::EnsureInitialised() {
  if (m_initialised || !Hwnd()) return;
  m_initialised = true;
  m_topIndex = 0;
  m_focused = m_items.empty() ? -1 : 0;

  auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(Hwnd(), GWLP_HINSTANCE));
  m_glyphs.Reset(ImageList_LoadImageW(instance, MAKEINTRESOURCEW(kGlyphBitmap), 13, 0, kMagenta,
                                      IMAGE_BITMAP, LR_CREATEDIBSECTION));
  LOGBRUSH grey{BS_SOLID, GetSysColor(COLOR_GRAYTEXT), 0};
  m_dottedPen.Reset(ExtCreatePen(PS_COSMETIC | PS_ALTERNATE, 1, &grey, 0, nullptr));
  m_windowPen.Reset(CreatePen(PS_SOLID, 1, GetSysColor(COLOR_WINDOW)));
  LOGFONTW lf{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(lf), &lf);
  m_font.Reset(CreateFontIndirectW(&lf));

  {
    winui::WindowDc dc(Hwnd());
    winui::DcState state(dc.Get());
    SelectObject(dc.Get(), m_font.Get());
    TEXTMETRICW tm{};
    GetTextMetricsW(dc.Get(), &tm);
    m_textOffset = (kRowHeight - tm.tmHeight) / 2;
    for (size_t i = 0; i < m_items.size(); ++i) LayOut(i, dc.Get());
  }

  RECT client{};
  GetClientRect(Hwnd(), &client);
  int width = GetSystemMetrics(SM_CXVSCROLL);
  m_scrollBar = CreateWindowExW(
      0, L"SCROLLBAR", L"", WS_CHILD | SBS_VERT, client.right - kBorder - width,
      client.top + kBorder, width, client.bottom - client.top - 2 * kBorder, Hwnd(),
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kScrollBarId)), instance, nullptr);
  UpdateScrollBar();
}

void COptionsListCtrl::LayOut(size_t index, HDC dc) {
  OptionItem& item = m_items[index];
  std::wstring text = base::Widen(item.text);
  SIZE extent{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  item.rect.left = item.level * kIndent + kBorder;
  item.rect.top = kBorder + kRowHeight * static_cast<int>(index) - kRowHeight * m_topIndex;
  item.rect.right = item.rect.left + extent.cx + 20;
  item.rect.bottom = item.rect.top + kRowHeight;
}

void COptionsListCtrl::UpdateScrollBar() {
  if (!m_scrollBar) return;
  int count = static_cast<int>(m_items.size());
  int rows = VisibleRows();
  SCROLLINFO si{};
  si.cbSize = sizeof(si);
  si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
  si.nMin = 0;
  si.nMax = std::max(0, count - 1);
  si.nPage = static_cast<UINT>(rows);
  si.nPos = m_topIndex;
  SetScrollInfo(m_scrollBar, SB_CTL, &si, TRUE);
  bool show = rows < count;
  if (show != m_scrollVisible) {
    m_scrollVisible = show;
    ShowWindow(m_scrollBar, show ? SW_SHOWNA : SW_HIDE);
    InvalidateRect(Hwnd(), nullptr, TRUE);  // the list area changed width
  }
}

void COptionsListCtrl::DrawBackground(HDC dc) const {
  RECT c{};
  GetClientRect(Hwnd(), &c);
  int w = c.right, h = c.bottom;
  // Sunken double border.
  Fill(dc, 0, 0, w - 1, 1, COLOR_BTNSHADOW);
  Fill(dc, 0, 0, 1, h - 1, COLOR_BTNSHADOW);
  Fill(dc, 0, h - 1, w, h, COLOR_BTNHIGHLIGHT);
  Fill(dc, w - 1, 0, w, h, COLOR_BTNHIGHLIGHT);
  Fill(dc, 1, 1, w - 2, 2, COLOR_3DDKSHADOW);
  Fill(dc, 1, 1, 2, h - 2, COLOR_3DDKSHADOW);
  Fill(dc, 1, h - 2, w - 1, h - 1, COLOR_BTNFACE);
  Fill(dc, w - 2, 1, w - 1, h - 1, COLOR_BTNFACE);
  int right = w - kBorder - (m_scrollVisible ? GetSystemMetrics(SM_CXVSCROLL) : 0);
  Fill(dc, kBorder, kBorder, right, h - kBorder, COLOR_WINDOW);
}

void COptionsListCtrl::DrawItem(const DRAWITEMSTRUCT& dis) {
  EnsureInitialised();
  bool whole = (dis.itemAction & ODA_DRAWENTIRE) != 0;
  bool focus = (dis.itemAction & ODA_FOCUS) != 0;
  DrawRows(dis.hDC, whole, focus);
}

void COptionsListCtrl::DrawRows(HDC dc, bool whole, bool focusOnly) const {
  if (!m_initialised) return;
  RECT area = ListArea();
  bool hasFocus = GetFocus() == Hwnd();
  winui::DcState state(dc);
  SetBkMode(dc, TRANSPARENT);
  IntersectClipRect(dc, area.left, area.top, area.right, area.bottom);
  SelectObject(dc, m_font.Get());
  if (whole) {
    for (int i = 0; i < static_cast<int>(m_items.size()); ++i) {
      if (m_items[i].rect.bottom > area.bottom) break;
      DrawOne(dc, i, area, hasFocus);
    }
  }
  if (focusOnly && m_focused >= 0) DrawOne(dc, m_focused, area, hasFocus);
}

void COptionsListCtrl::DrawOne(HDC dc, int index, const RECT& area, bool hasFocus) const {
  const OptionItem& item = m_items[index];
  const RECT& r = item.rect;
  // A row cut by the area's edge stays blank.
  if (r.top < area.top || r.bottom > area.bottom) return;

  bool highlighted = index == m_focused && hasFocus;
  Fill(dc, r.left, r.top, r.left + 16, r.bottom, COLOR_WINDOW);
  Fill(dc, r.left + 18, r.top, r.right + 2, r.bottom, highlighted ? COLOR_HIGHLIGHT : COLOR_WINDOW);
  if (highlighted) {
    winui::DcState state(dc);
    SelectObject(dc, GetStockObject(NULL_BRUSH));
    SelectObject(dc, m_windowPen.Get());
    Rectangle(dc, r.left + 18, r.top, r.right + 2, r.bottom);
    SelectObject(dc, m_dottedPen.Get());
    Rectangle(dc, r.left + 18, r.top, r.right + 2, r.bottom);
  }

  if (item.kind == ITEM_HEADING) {
    if (m_headingImages)
      ImageList_Draw(m_headingImages.Get(), item.image, dc, r.left, r.top, ILD_TRANSPARENT);
  } else if (m_glyphs) {
    int glyph = item.kind == ITEM_CHECK ? (item.state ? kGlyphChecked : kGlyphClear)
                                        : (item.state ? kRadioSelected : kRadioClear);
    ImageList_Draw(m_glyphs.Get(), glyph, dc, r.left, r.top, ILD_TRANSPARENT);
  }

  RECT textRect{r.left + 20, r.top + m_textOffset, r.right, r.bottom};
  IntersectRect(&textRect, &textRect, &area);
  SetTextColor(dc, GetSysColor(highlighted ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  std::wstring text = base::Widen(item.text);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &textRect,
            DT_SINGLELINE | DT_NOPREFIX | DT_LEFT | DT_TOP);
}

void COptionsListCtrl::Redraw(int index) const {
  if (!m_initialised || !Hwnd() || index < 0 || index >= static_cast<int>(m_items.size())) return;
  winui::WindowDc dc(Hwnd());
  RECT area = ListArea();
  winui::DcState state(dc.Get());
  SetBkMode(dc.Get(), TRANSPARENT);
  IntersectClipRect(dc.Get(), area.left, area.top, area.right, area.bottom);
  SelectObject(dc.Get(), m_font.Get());
  DrawOne(dc.Get(), index, area, GetFocus() == Hwnd());
}
