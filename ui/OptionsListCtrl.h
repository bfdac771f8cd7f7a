// The options dialog's list: headings with pictures, check boxes and radio buttons,
// indented by level, with its own scroll bar and keyboard handling. It takes over an
// owner-drawn button and tells its parent, through WM_NOTIFY, of every item whose
// state the user changed. Adjacent radio items form one group.
#pragma once

#include <string>
#include <vector>

#include "winui/Subclass.h"
#include "base/UniqueHandle.h"
#include "winui/UniqueImageList.h"
#include "base/Win.h"

constexpr int ITEM_HEADING = 0;
constexpr int ITEM_CHECK = 1;
constexpr int ITEM_RADIO = 2;

struct OptionItem {
  int kind = ITEM_HEADING;
  int state = 0;  // 1 checked or selected; headings keep 0
  int level = 0;  // indentation steps
  int id = 0;     // sent in notifications; headings have 0
  int image = 0;  // heading picture
  std::string text;
  RECT rect{};  // place in client coordinates, moved by scrolling
};

// WM_NOTIFY record (header code 0), sent once for every item the user changed.
struct NMOPTIONITEM {
  NMHDR hdr;
  int id;
  int state;
};

class COptionsListCtrl : public winui::Subclass {
 public:
  static constexpr int kRowHeight = 16;
  static constexpr int kIndent = 20;
  static constexpr int kBorder = 2;
  static constexpr int kScrollBarId = 1000;

  COptionsListCtrl();
  ~COptionsListCtrl() override;

  // Keeps a copy; the caller still owns `images`.
  void SetHeadingImages(HIMAGELIST images);

  // Texts from string resources; check and radio items send the string ID.
  void AddHeading(UINT textId, int level, int image);
  void AddCheck(UINT textId, int state, int level);
  void AddRadio(UINT textId, int state, int level);
  void AddHeading(const std::string& text, int level, int image);
  void AddCheck(const std::string& text, int id, int state, int level);
  void AddRadio(const std::string& text, int id, int state, int level);

  // The first item with `id`; neither sends a notification.
  int GetItemState(int id) const;
  bool SetItemState(int id, int state);

  // Draws the whole list (ODA_DRAWENTIRE) or the focused item (ODA_FOCUS). The control
  // paints itself; a parent may also forward its WM_DRAWITEM here.
  void DrawItem(const DRAWITEMSTRUCT& dis);

  size_t ItemCount() const { return m_items.size(); }
  const OptionItem& Item(size_t index) const { return m_items[index]; }
  int TopIndex() const { return m_topIndex; }
  int FocusedIndex() const { return m_focused; }  // -1 for none
  // Client rectangle less the border and, while shown, the scroll bar.
  RECT ListArea() const;
  int VisibleRows() const;
  HWND ScrollBar() const { return m_scrollBar; }

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  void Append(OptionItem item);
  std::string LoadText(UINT textId) const;

  void EnsureInitialised();
  void LayOut(size_t index, HDC dc);
  void UpdateScrollBar();

  void DrawBackground(HDC dc) const;
  void DrawRows(HDC dc, bool whole, bool focusOnly) const;
  void DrawOne(HDC dc, int index, const RECT& area, bool hasFocus) const;
  void Redraw(int index) const;

  void Activate(int index);
  void Notify(const OptionItem& item);
  int HitTest(POINT pt) const;
  void OnKey(UINT key);
  void MoveFocus(int index);
  void BringIntoView(int index);
  void ScrollRequest(int request, int position);
  void ScrollTo(int top);
  void MoveRects(int dy);

  std::vector<OptionItem> m_items;
  HWND m_scrollBar = nullptr;
  bool m_scrollVisible = false;
  base::UniqueFont m_font;
  base::UniquePen m_dottedPen;
  base::UniquePen m_windowPen;
  winui::UniqueImageList m_headingImages;
  winui::UniqueImageList m_glyphs;
  bool m_initialised = false;
  int m_textOffset = 0;
  int m_topIndex = 0;
  int m_focused = -1;
  bool m_pressed = false;  // left button went down on us and has not come up
};
