#include "winui/Subclass.h"

#include <commctrl.h>

namespace winui {

Subclass::~Subclass() { Detach(); }

bool Subclass::Attach(HWND control) {
  Detach();
  if (!control ||
      !SetWindowSubclass(control, &Subclass::Procedure, 1, reinterpret_cast<DWORD_PTR>(this)))
    return false;
  hwnd_ = control;
  return true;
}

void Subclass::Detach() {
  if (hwnd_) RemoveWindowSubclass(hwnd_, &Subclass::Procedure, 1);
  hwnd_ = nullptr;
}

LRESULT Subclass::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefSubclassProc(hwnd_, msg, wParam, lParam);
}

LRESULT CALLBACK Subclass::Procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                     DWORD_PTR data) {
  auto* self = reinterpret_cast<Subclass*>(data);
  if (msg == WM_NCDESTROY) {
    LRESULT r = self->HandleMessage(msg, wParam, lParam);
    self->Detach();
    return r;
  }
  (void)hwnd;
  return self->HandleMessage(msg, wParam, lParam);
}

}  // namespace winui
