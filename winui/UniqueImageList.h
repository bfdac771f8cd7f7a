// Owner for common-controls image lists.
#pragma once

#include <commctrl.h>

#include "winui/UniqueHandle.h"

namespace winui {

struct ImageListTraits {
  using Type = HIMAGELIST;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { ImageList_Destroy(h); }
};
using UniqueImageList = UniqueHandle<ImageListTraits>;

}  // namespace winui
