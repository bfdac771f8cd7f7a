#include "app/InstanceArea.h"

#include <utility>

CInstanceArea::CInstanceArea(std::wstring name) : name_(std::move(name)) {}

bool CInstanceArea::Open() {
  if (words_) return true;
  // Creating and opening by name are one atomic step; a new mapping reads as zero. It
  // lives while any process of the program holds it, like the counting needs.
  mapping_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Words),
                                    name_.c_str()));
  if (!mapping_) return false;
  view_.Reset(MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Words)));
  if (!view_) return false;
  words_ = static_cast<Words*>(view_.Get());
  return true;
}

LONG CInstanceArea::Enter() {
  if (!Open()) return 1;
  return InterlockedIncrement(&words_->instanceCount);
}

void CInstanceArea::Leave() {
  if (words_) InterlockedDecrement(&words_->instanceCount);
}

void CInstanceArea::SetFirstThreadId(DWORD id) {
  if (Open()) InterlockedExchange(&words_->firstThreadId, static_cast<LONG>(id));
}

DWORD CInstanceArea::FirstThreadId() const {
  if (!words_) return 0;
  return static_cast<DWORD>(InterlockedCompareExchange(&words_->firstThreadId, 0, 0));
}
