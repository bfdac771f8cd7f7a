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

void CInstanceArea::SetFirst(DWORD threadId, DWORD processId) {
  if (!Open()) return;
  InterlockedExchange(&words_->firstProcessId, static_cast<LONG>(processId));
  InterlockedExchange(&words_->firstThreadId, static_cast<LONG>(threadId));
  // A first instance that ended may have left its mark in an area others still hold.
  InterlockedExchange(&words_->closing, 0);
}

DWORD CInstanceArea::FirstThreadId() const {
  if (!words_) return 0;
  return static_cast<DWORD>(InterlockedCompareExchange(&words_->firstThreadId, 0, 0));
}

DWORD CInstanceArea::FirstProcessId() const {
  if (!words_) return 0;
  return static_cast<DWORD>(InterlockedCompareExchange(&words_->firstProcessId, 0, 0));
}

void CInstanceArea::MarkClosing() {
  if (words_) InterlockedExchange(&words_->closing, 1);
}

namespace {

bool ProcessEnded(DWORD pid) {
  base::UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  return WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

bool CInstanceArea::FirstIsGone() const {
  if (!words_) return false;
  if (InterlockedCompareExchange(&words_->closing, 0, 0) != 0) return true;
  const DWORD pid = FirstProcessId();
  if (pid == 0) return false;  // still starting up
  return ProcessEnded(pid);
}

bool CInstanceArea::TakeOverIfFirstEnded(DWORD threadId, DWORD processId) {
  if (!words_) return false;
  const DWORD pid = FirstProcessId();
  if (pid == 0 || pid == processId || !ProcessEnded(pid)) return false;
  // Two starts may find the same ended instance: only the one that swaps its id in wins.
  if (InterlockedCompareExchange(&words_->firstProcessId, static_cast<LONG>(processId),
                                 static_cast<LONG>(pid)) != static_cast<LONG>(pid))
    return false;
  InterlockedExchange(&words_->firstThreadId, static_cast<LONG>(threadId));
  InterlockedExchange(&words_->closing, 0);
  return true;
}

void CInstanceArea::Release() {
  words_ = nullptr;
  view_.Reset();
  mapping_.Reset();
}
