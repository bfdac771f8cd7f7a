// Base for objects that take over an existing control's messages (owner-drawn lists,
// custom keyboard handling). The control's window procedure is replaced and its
// GWLP_USERDATA slot (the application's, unused by the common controls) points here.
// Not the common controls' subclass chain: under Wine that looks up a window property
// on every message, a server call (45 us idle, a millisecond while files are copied)
// for each of the dozens of messages a paint of the task list takes.
#pragma once

#include "base/Win.h"

namespace winui {

class Subclass {
 public:
  Subclass() = default;
  Subclass(const Subclass&) = delete;
  Subclass& operator=(const Subclass&) = delete;
  virtual ~Subclass();

  // False for no control, or one whose slot someone else uses.
  bool Attach(HWND control);
  void Detach();
  HWND Hwnd() const { return hwnd_; }

 protected:
  // Unhandled messages must reach the control: call the base.
  virtual LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  HWND hwnd_ = nullptr;
  WNDPROC original_ = nullptr;
};

}  // namespace winui
