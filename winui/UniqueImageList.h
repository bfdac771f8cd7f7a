// Owner for common-controls image lists.
#pragma once

#include <commctrl.h>

#include "winui/UniqueHandle.h"

namespace winui {

using UniqueImageList = UniqueHandle<NullableHandleTraits<HIMAGELIST, &ImageList_Destroy>>;

}  // namespace winui
