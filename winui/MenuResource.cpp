#include "winui/MenuResource.h"

namespace winui {

MenuResource::MenuResource(int id, HINSTANCE instance)
    : menu_(LoadMenuW(instance ? instance : GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id))) {
  if (menu_) popup_ = GetSubMenu(menu_.Get(), 0);
}

}  // namespace winui
