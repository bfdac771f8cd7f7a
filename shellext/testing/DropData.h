// Drop lists as the file manager hands them to a context-menu handler.
#pragma once

#include <string>
#include <vector>

#include "com/Ole.h"

namespace comtest {

// A CF_HDROP block (wide paths) in movable global memory; the caller owns it.
HGLOBAL MakeDropList(const std::vector<std::wstring>& paths);

// A data object that offers `paths` as CF_HDROP in global memory, a fresh copy per
// request, and nothing else. Returned with one reference.
IDataObject* NewDropDataObject(const std::vector<std::wstring>& paths);

// A data object that has no drop list to offer.
IDataObject* NewDataObjectWithoutDropList();

}  // namespace comtest
