// A toolbar built from two resources of one number: a bitmap strip of button images
// and an RCDATA list of words (version 1, image width, image height, count, then the
// command of each button in order, 0 for a separator).
#pragma once

#include <vector>

#include "base/Win.h"

#include <commctrl.h>

namespace winui {

class ToolBar {
 public:
  ToolBar() = default;
  ToolBar(const ToolBar&) = delete;
  ToolBar& operator=(const ToolBar&) = delete;
  ~ToolBar();

  // Creates the toolbar window as a child of `parent` with `style` added to WS_CHILD,
  // and loads resource `resourceId`. Images whose pixels are `maskColour` are
  // transparent. False when the window or either resource fails.
  bool Create(HWND parent, int controlId, DWORD style, int resourceId,
              COLORREF maskColour = RGB(192, 192, 192));

  HWND Hwnd() const { return hwnd_; }
  // The commands in order, 0 for each separator.
  const std::vector<int>& Commands() const { return commands_; }

  // Parses a button list resource; false when malformed.
  static bool ParseButtonList(const void* data, size_t size, int& imageWidth, int& imageHeight,
                              std::vector<int>& commands);

 private:
  HWND hwnd_ = nullptr;
  HIMAGELIST images_ = nullptr;
  std::vector<int> commands_;
};

}  // namespace winui
