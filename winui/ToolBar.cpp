#include "winui/ToolBar.h"

#include <commctrl.h>

#include <cstdint>
#include <utility>

namespace winui {

ToolBar::~ToolBar() {
  // The image list outlives nothing that uses it: the toolbar goes first.
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
  if (images_) ImageList_Destroy(images_);
}

bool ToolBar::ParseButtonList(const void* data, size_t size, int& imageWidth, int& imageHeight,
                              std::vector<int>& commands) {
  const auto* words = static_cast<const uint16_t*>(data);
  size_t n = size / sizeof(uint16_t);
  if (!data || n < 4 || words[0] != 1) return false;
  size_t count = words[3];
  if (n < 4 + count || words[1] == 0 || words[2] == 0) return false;
  imageWidth = words[1];
  imageHeight = words[2];
  commands.assign(words + 4, words + 4 + count);
  return true;
}

bool ToolBar::Create(HWND parent, int controlId, DWORD style, int resourceId, COLORREF maskColour) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(instance, MAKEINTRESOURCEW(resourceId), MAKEINTRESOURCEW(10));
  HGLOBAL loaded = info ? LoadResource(instance, info) : nullptr;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  int width = 0, height = 0;
  std::vector<int> commands;
  if (!ParseButtonList(data, info ? SizeofResource(instance, info) : 0, width, height, commands))
    return false;

  HBITMAP strip = static_cast<HBITMAP>(
      LoadImageW(instance, MAKEINTRESOURCEW(resourceId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (!strip) return false;
  HIMAGELIST images = ImageList_Create(width, height, ILC_COLOR24 | ILC_MASK, 4, 4);
  bool added = images && ImageList_AddMasked(images, strip, maskColour) >= 0;
  DeleteObject(strip);
  if (!added) {
    if (images) ImageList_Destroy(images);
    return false;
  }

  HWND hwnd =
      CreateWindowExW(0, TOOLBARCLASSNAMEW, L"", WS_CHILD | style, 0, 0, 0, 0, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)), instance, nullptr);
  if (!hwnd) {
    ImageList_Destroy(images);
    return false;
  }
  SendMessageW(hwnd, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  SendMessageW(hwnd, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images));
  SendMessageW(hwnd, TB_SETBITMAPSIZE, 0, MAKELPARAM(width, height));

  std::vector<TBBUTTON> buttons;
  int image = 0;
  for (int command : commands) {
    TBBUTTON b{};
    if (command == 0) {
      b.fsStyle = BTNS_SEP;
    } else {
      b.iBitmap = image++;
      b.idCommand = command;
      b.fsState = TBSTATE_ENABLED;
      b.fsStyle = BTNS_BUTTON;
    }
    buttons.push_back(b);
  }
  SendMessageW(hwnd, TB_ADDBUTTONSW, buttons.size(), reinterpret_cast<LPARAM>(buttons.data()));

  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
  if (images_) ImageList_Destroy(images_);
  hwnd_ = hwnd;
  images_ = images;
  commands_ = std::move(commands);
  return true;
}

}  // namespace winui
