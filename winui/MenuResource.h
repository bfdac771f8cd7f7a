// Menus kept as resources whose first pop-up is the one shown (context and tray menus).
#pragma once

#include "base/UniqueHandle.h"
#include "base/Win.h"

namespace winui {

class MenuResource {
 public:
  // Loads menu resource `id` of `instance` (the program when null).
  explicit MenuResource(int id, HINSTANCE instance = nullptr);

  // The first pop-up, or null when the resource or its pop-up is missing. Owned by
  // this object.
  HMENU Popup() const { return popup_; }
  explicit operator bool() const { return popup_ != nullptr; }

 private:
  base::UniqueMenu menu_;
  HMENU popup_ = nullptr;
};

}  // namespace winui
