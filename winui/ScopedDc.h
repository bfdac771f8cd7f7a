// Device-context pairs that must not be left open: a window's DC given back, and every
// object selected into a DC put back, on every way out of a scope.
#pragma once

#include "base/Win.h"

namespace winui {

// GetDC on construction, ReleaseDC on destruction.
class WindowDc {
 public:
  explicit WindowDc(HWND hwnd) : hwnd_(hwnd), dc_(GetDC(hwnd)) {}
  ~WindowDc() {
    if (dc_) ReleaseDC(hwnd_, dc_);
  }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;

  HDC Get() const { return dc_; }

 private:
  HWND hwnd_;
  HDC dc_;
};

// SaveDC on construction, RestoreDC on destruction: the selected font, pen and brush,
// the clip and the text colours return to what they were.
class DcState {
 public:
  explicit DcState(HDC dc) : dc_(dc), saved_(dc ? SaveDC(dc) : 0) {}
  ~DcState() {
    if (saved_) RestoreDC(dc_, saved_);
  }
  DcState(const DcState&) = delete;
  DcState& operator=(const DcState&) = delete;

 private:
  HDC dc_;
  int saved_;
};

}  // namespace winui
