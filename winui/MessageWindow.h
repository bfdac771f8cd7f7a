// A message-only window that runs a function whenever it gets one message. It reaches
// its thread from any other thread in every loop that thread may be in: the main
// dialog's, a message box's, a menu's. A thread message would be dropped by those
// loops, and a message filter hook to catch it costs Wine three server calls for every
// message the thread gets.
#pragma once

#include <functional>

#include "winui/Window.h"

namespace winui {

class MessageWindow : public Window {
 public:
  MessageWindow(UINT message, std::function<void()> onMessage)
      : message_(message), onMessage_(std::move(onMessage)) {}

  // On the thread that is to run the function. False when no window could be made.
  bool Create();

 protected:
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  UINT message_;
  std::function<void()> onMessage_;
};

}  // namespace winui
