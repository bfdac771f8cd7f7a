#include "winui/MessageWindow.h"

namespace winui {

bool MessageWindow::Create() {
  return Window::Create(L"TolvaMessageWindow", "", 0, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr);
}

LRESULT MessageWindow::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg != message_) return Window::HandleMessage(msg, wParam, lParam);
  if (onMessage_) onMessage_();
  return 0;
}

}  // namespace winui
