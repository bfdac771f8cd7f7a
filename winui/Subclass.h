// Base for objects that take over an existing control's messages (owner-drawn lists,
// custom keyboard handling) through the common controls' subclass chain.
#pragma once

#include "base/Win.h"

namespace winui {

class Subclass {
 public:
  Subclass() = default;
  Subclass(const Subclass&) = delete;
  Subclass& operator=(const Subclass&) = delete;
  virtual ~Subclass();

  bool Attach(HWND control);
  void Detach();
  HWND Hwnd() const { return hwnd_; }

 protected:
  // Unhandled messages must reach the control: call the base.
  virtual LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR data);
  HWND hwnd_ = nullptr;
};

}  // namespace winui
