#include "winui/Subclass.h"

namespace winui {

Subclass::~Subclass() { Detach(); }

bool Subclass::Attach(HWND control) {
  Detach();
  if (!control || GetWindowLongPtrW(control, GWLP_USERDATA)) return false;
  SetWindowLongPtrW(control, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  original_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Subclass::Procedure)));
  if (!original_) {
    SetWindowLongPtrW(control, GWLP_USERDATA, 0);
    return false;
  }
  hwnd_ = control;
  return true;
}

void Subclass::Detach() {
  if (!hwnd_) return;
  // The control's own procedure goes back only when nobody took over after us; else
  // ours stays in their chain and passes everything on.
  if (reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd_, GWLP_WNDPROC)) == &Subclass::Procedure)
    SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
  hwnd_ = nullptr;
}

LRESULT Subclass::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return CallWindowProcW(original_, hwnd_, msg, wParam, lParam);
}

LRESULT CALLBACK Subclass::Procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Subclass*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self || self->hwnd_ != hwnd) {
    // Detached while another procedure still calls this one: the class's own follows.
    auto classProcedure = reinterpret_cast<WNDPROC>(GetClassLongPtrW(hwnd, GCLP_WNDPROC));
    return CallWindowProcW(classProcedure, hwnd, msg, wParam, lParam);
  }
  if (msg == WM_NCDESTROY) {
    LRESULT r = self->HandleMessage(msg, wParam, lParam);
    self->Detach();
    return r;
  }
  return self->HandleMessage(msg, wParam, lParam);
}

}  // namespace winui
