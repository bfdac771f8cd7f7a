#include "winui/NumberField.h"

#include <commctrl.h>

#include <string>

namespace winui {

void NumberField::Attach(HWND edit, HWND spin) {
  edit_ = edit;
  spin_ = spin;
}

void NumberField::Setup(int low, int high, int value) {
  low_ = low;
  high_ = high;
  if (edit_) {
    // One digit more than the highest number has would only ever be refused.
    const int digits = static_cast<int>(std::to_wstring(high).size());
    SendMessageW(edit_, EM_LIMITTEXT, static_cast<WPARAM>(digits), 0);
  }
  if (spin_) {
    SendMessageW(spin_, UDM_SETBUDDY, reinterpret_cast<WPARAM>(edit_), 0);
    SendMessageW(spin_, UDM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
    SendMessageW(spin_, UDM_SETPOS32, 0, static_cast<LPARAM>(value));
  }
  if (edit_) SetWindowTextW(edit_, std::to_wstring(value).c_str());
}

bool NumberField::Value(int& value) const {
  if (!edit_) return false;
  wchar_t text[16] = {};
  const int length = GetWindowTextW(edit_, text, 16);
  if (length <= 0 || length > 10) return false;
  long long number = 0;
  for (int i = 0; i < length; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
    number = number * 10 + (text[i] - L'0');
  }
  if (number < low_ || number > high_) return false;
  value = static_cast<int>(number);
  return true;
}

}  // namespace winui
