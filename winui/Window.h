// Base for windows we register ourselves: `this` is stored at WM_NCCREATE and every
// message goes to one virtual HandleMessage.
#pragma once

#include <string>

#include "base/Win.h"

namespace winui {

class Window {
 public:
  Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  virtual ~Window();

  HWND Hwnd() const { return hwnd_; }

  // Registers `className` once per process (with this base's window procedure) and
  // creates the window. Returns false when either fails.
  bool Create(const wchar_t* className, const std::string& title, DWORD style, DWORD exStyle, int x,
              int y, int width, int height, HWND parent, HMENU menuOrId);

  void Destroy();

 protected:
  // Unhandled messages must reach DefWindowProc: call the base.
  virtual LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  HWND hwnd_ = nullptr;
};

}  // namespace winui
