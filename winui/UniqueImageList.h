// Owner for common-controls image lists.
#pragma once

#include <commctrl.h>

#include "base/UniqueHandle.h"

namespace winui {

using UniqueImageList =
    base::UniqueHandle<base::NullableHandleTraits<HIMAGELIST, &ImageList_Destroy>>;

}  // namespace winui
