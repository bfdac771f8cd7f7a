// Shell declarations (drop lists, context menus, folder browser) on top of the lean
// Windows header.
#pragma once

#include "com/Ole.h"

#include <shellapi.h>
#include <shlobj.h>
