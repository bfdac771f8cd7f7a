// COptionsListCtrl: items, activation, keys, mouse and scrolling.
#include "ui/OptionsListCtrl.h"

#include <algorithm>

#include "base/Utf8.h"
#include "winui/ScopedDc.h"

COptionsListCtrl::COptionsListCtrl() = default;

COptionsListCtrl::~COptionsListCtrl() = default;

void COptionsListCtrl::SetHeadingImages(HIMAGELIST images) {
  m_headingImages.Reset(images ? ImageList_Duplicate(images) : nullptr);
}

std::string COptionsListCtrl::LoadText(UINT textId) const {
  HINSTANCE instance = Hwnd()
                           ? reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(Hwnd(), GWLP_HINSTANCE))
                           : GetModuleHandleW(nullptr);
  const wchar_t* text = nullptr;
  int length = LoadStringW(instance, textId, reinterpret_cast<LPWSTR>(&text), 0);
  return length > 0 ? base::Narrow(std::wstring_view(text, static_cast<size_t>(length)))
                    : std::string();
}

void COptionsListCtrl::AddHeading(UINT textId, int level, int image) {
  AddHeading(LoadText(textId), level, image);
}

void COptionsListCtrl::AddCheck(UINT textId, int state, int level) {
  AddCheck(LoadText(textId), static_cast<int>(textId), state, level);
}

void COptionsListCtrl::AddRadio(UINT textId, int state, int level) {
  AddRadio(LoadText(textId), static_cast<int>(textId), state, level);
}

void COptionsListCtrl::AddHeading(const std::string& text, int level, int image) {
  Append(OptionItem{ITEM_HEADING, 0, level, 0, image, text, {}});
}

void COptionsListCtrl::AddCheck(const std::string& text, int id, int state, int level) {
  Append(OptionItem{ITEM_CHECK, state ? 1 : 0, level, id, 0, text, {}});
}

void COptionsListCtrl::AddRadio(const std::string& text, int id, int state, int level) {
  Append(OptionItem{ITEM_RADIO, state ? 1 : 0, level, id, 0, text, {}});
}

void COptionsListCtrl::Append(OptionItem item) {
  m_items.push_back(std::move(item));
  if (!m_initialised) return;
  // Added after the first drawing: place it below the others at once.
  {
    winui::WindowDc dc(Hwnd());
    winui::DcState state(dc.Get());
    SelectObject(dc.Get(), m_font.Get());
    LayOut(m_items.size() - 1, dc.Get());
  }
  if (m_focused < 0) m_focused = 0;
  UpdateScrollBar();
  InvalidateRect(Hwnd(), nullptr, TRUE);
}

int COptionsListCtrl::GetItemState(int id) const {
  for (const auto& item : m_items)
    if (item.id == id) return item.state;
  return 0;
}

bool COptionsListCtrl::SetItemState(int id, int state) {
  for (size_t i = 0; i < m_items.size(); ++i) {
    if (m_items[i].id != id) continue;
    m_items[i].state = state;
    Redraw(static_cast<int>(i));
    return true;
  }
  return false;
}

void COptionsListCtrl::Notify(const OptionItem& item) {
  NMOPTIONITEM nm{};
  nm.hdr.hwndFrom = Hwnd();
  nm.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(Hwnd()));
  nm.hdr.code = 0;
  nm.id = item.id;
  nm.state = item.state;
  SendMessageW(GetParent(Hwnd()), WM_NOTIFY, nm.hdr.idFrom, reinterpret_cast<LPARAM>(&nm));
}

void COptionsListCtrl::Activate(int index) {
  OptionItem& item = m_items[index];
  if (item.kind == ITEM_CHECK) {
    item.state = item.state ? 0 : 1;
    Redraw(index);
    Notify(item);
  } else if (item.kind == ITEM_RADIO && !item.state) {
    int first = index, last = index;
    while (first > 0 && m_items[first - 1].kind == ITEM_RADIO) --first;
    while (last + 1 < static_cast<int>(m_items.size()) && m_items[last + 1].kind == ITEM_RADIO)
      ++last;
    for (int i = first; i <= last; ++i) {
      if (i == index || !m_items[i].state) continue;
      m_items[i].state = 0;
      Redraw(i);
      Notify(m_items[i]);
    }
    m_items[index].state = 1;
    Redraw(index);
    Notify(m_items[index]);
  }
  if (index != m_focused) {
    int old = m_focused;
    m_focused = index;
    Redraw(old);
    Redraw(index);
  }
}

int COptionsListCtrl::HitTest(POINT pt) const {
  RECT area = ListArea();
  int visibleBottom = area.top + kRowHeight * VisibleRows();
  for (size_t i = 0; i < m_items.size(); ++i) {
    const RECT& r = m_items[i].rect;
    if (!PtInRect(&r, pt)) continue;
    return (r.top >= area.top && r.top < visibleBottom) ? static_cast<int>(i) : -1;
  }
  return -1;
}

void COptionsListCtrl::MoveFocus(int index) {
  int old = m_focused;
  m_focused = index;
  Redraw(old);
  Redraw(index);
  BringIntoView(index);
}

void COptionsListCtrl::OnKey(UINT key) {
  int last = static_cast<int>(m_items.size()) - 1;
  int rows = VisibleRows();
  int f = m_focused;
  bool ctrl = GetKeyState(VK_CONTROL) < 0;
  bool canMove = last >= 0 && f >= 0;
  switch (key) {
    case VK_SPACE:
      if (canMove) Activate(f);
      break;
    case VK_UP:
      if (ctrl) {
        ScrollRequest(SB_LINEUP, 0);
      } else if (canMove && f > 0) {
        if (f == m_topIndex) ScrollRequest(SB_LINEUP, 0);
        MoveFocus(f - 1);
      }
      break;
    case VK_DOWN:
      if (ctrl) {
        ScrollRequest(SB_LINEDOWN, 0);
      } else if (canMove && f < last) {
        if (f == m_topIndex + rows - 1) ScrollRequest(SB_LINEDOWN, 0);
        MoveFocus(f + 1);
      }
      break;
    case VK_PRIOR:
      if (canMove && f > 0) MoveFocus(std::max(0, std::min(last, f - rows + 1)));
      break;
    case VK_NEXT:
      if (canMove && f < last) MoveFocus(std::max(0, std::min(last, f + rows - 1)));
      break;
    case VK_HOME:
      if (canMove && f > 0) MoveFocus(0);
      break;
    case VK_END:
      if (canMove && f < last) MoveFocus(last);
      break;
  }
}

void COptionsListCtrl::MoveRects(int dy) {
  for (auto& item : m_items) OffsetRect(&item.rect, 0, dy);
}

void COptionsListCtrl::BringIntoView(int index) {
  int rows = VisibleRows();
  int t = m_topIndex;
  if (rows == 0 || (t <= index && index <= t + rows - 1)) return;
  int top = index > t + rows - 1 ? index - rows + 1 : index;
  MoveRects((t - top) * kRowHeight);
  m_topIndex = top;
  UpdateScrollBar();
  InvalidateRect(Hwnd(), nullptr, TRUE);
}

void COptionsListCtrl::ScrollRequest(int request, int position) {
  int t = m_topIndex;
  int rows = VisibleRows();
  int target = 0;
  switch (request) {
    case SB_LINEUP:
      target = t - 1;
      break;
    case SB_LINEDOWN:
      target = t + 1;
      break;
    case SB_PAGEUP:
      target = t - rows;
      break;
    case SB_PAGEDOWN:
      target = t + rows;
      break;
    case SB_THUMBPOSITION:
    case SB_THUMBTRACK:
      target = position;
      break;
    case SB_TOP:
      target = 0;
      break;
    case SB_BOTTOM:
      target = static_cast<int>(m_items.size()) - 1;
      break;
    default:
      return;
  }
  ScrollTo(target);
}

void COptionsListCtrl::ScrollTo(int top) {
  int rows = VisibleRows();
  top = std::min(top, static_cast<int>(m_items.size()) - rows);
  top = std::max(top, 0);
  if (top == m_topIndex) return;
  int dy = (m_topIndex - top) * kRowHeight;
  MoveRects(dy);
  RECT area = ListArea();
  RECT rowsArea{area.left, area.top, area.right, area.top + rows * kRowHeight};
  ScrollWindowEx(Hwnd(), 0, dy, &rowsArea, &rowsArea, nullptr, nullptr, SW_INVALIDATE | SW_ERASE);
  m_topIndex = top;
  UpdateScrollBar();
}

LRESULT COptionsListCtrl::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_ERASEBKGND:
      DrawBackground(reinterpret_cast<HDC>(wParam));
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Hwnd(), &ps);
      DRAWITEMSTRUCT dis{};
      dis.CtlType = ODT_BUTTON;
      dis.CtlID = static_cast<UINT>(GetDlgCtrlID(Hwnd()));
      dis.itemAction = ODA_DRAWENTIRE;
      dis.itemState = GetFocus() == Hwnd() ? ODS_FOCUS : 0;
      dis.hwndItem = Hwnd();
      dis.hDC = dc;
      GetClientRect(Hwnd(), &dis.rcItem);
      DrawItem(dis);
      EndPaint(Hwnd(), &ps);
      return 0;
    }
    case WM_PRINTCLIENT: {
      EnsureInitialised();
      auto dc = reinterpret_cast<HDC>(wParam);
      DrawBackground(dc);
      DrawRows(dc, true, false);
      return 0;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
      LRESULT r = Subclass::HandleMessage(msg, wParam, lParam);
      EnsureInitialised();
      Redraw(m_focused);
      return r;
    }
    case WM_GETDLGCODE:
      return DLGC_WANTARROWS;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      // Each press counts, so a quick second click on a check box flips it back.
      EnsureInitialised();
      SetFocus(Hwnd());
      SetCapture(Hwnd());
      m_pressed = true;
      return 0;
    case WM_LBUTTONUP: {
      if (!m_pressed) return 0;
      m_pressed = false;
      ReleaseCapture();
      POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      RECT client{};
      GetClientRect(Hwnd(), &client);
      if (PtInRect(&client, pt)) {
        int index = HitTest(pt);
        if (index >= 0) Activate(index);
      }
      return 0;
    }
    case WM_CAPTURECHANGED:
      m_pressed = false;
      return 0;
    case WM_MOUSEMOVE:
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_SPACE || wParam == VK_UP || wParam == VK_DOWN || wParam == VK_PRIOR ||
          wParam == VK_NEXT || wParam == VK_HOME || wParam == VK_END) {
        EnsureInitialised();
        OnKey(static_cast<UINT>(wParam));
        return 0;
      }
      break;
    case WM_KEYUP:
      if (wParam == VK_SPACE) return 0;  // the button would click on it
      break;
    case WM_MOUSEWHEEL: {
      EnsureInitialised();
      int delta = static_cast<short>(HIWORD(wParam));
      ScrollTo(m_topIndex - delta / WHEEL_DELTA);
      return 0;
    }
    case WM_VSCROLL:
      EnsureInitialised();
      ScrollRequest(LOWORD(wParam), static_cast<short>(HIWORD(wParam)));
      return 0;
    case WM_NCDESTROY:
      // The scroll bar and the layout belong to this window; a new one starts afresh.
      m_initialised = false;
      m_scrollBar = nullptr;
      m_scrollVisible = false;
      m_pressed = false;
      break;
    case WM_SIZE:
      if (m_scrollBar) {
        RECT c{};
        GetClientRect(Hwnd(), &c);
        int width = GetSystemMetrics(SM_CXVSCROLL);
        MoveWindow(m_scrollBar, c.right - width - kBorder, c.top + kBorder, width,
                   c.bottom - c.top - 2 * kBorder, TRUE);
        UpdateScrollBar();
      }
      break;
  }
  return Subclass::HandleMessage(msg, wParam, lParam);
}
