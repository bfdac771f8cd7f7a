// An edit field of whole numbers with a spin control beside it (up-down arrows, the
// arrow keys and the mouse wheel step the number). The field takes digits only; the
// number is read back strictly, so a field the user emptied gives none.
#pragma once

#include "base/Win.h"

namespace winui {

class NumberField {
 public:
  // `edit` and `spin` are controls of a dialog template: an edit field and an up-down
  // control (msctls_updown32).
  void Attach(HWND edit, HWND spin);
  // The numbers the spin steps through, and the one shown.
  void Setup(int low, int high, int value);
  // The number in the field; false when it holds none or one outside the range.
  bool Value(int& value) const;
  HWND Edit() const { return edit_; }
  HWND Spin() const { return spin_; }

 private:
  HWND edit_ = nullptr;
  HWND spin_ = nullptr;
  int low_ = 0, high_ = 0;
};

}  // namespace winui
