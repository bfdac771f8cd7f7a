#include "bench/ReplaceCounter.h"

#include <vector>

#include "base/Utf8.h"
#include "base/Win.h"

namespace {

bool SameName(const wchar_t* a, size_t aLength, const std::wstring& b) {
  return CompareStringOrdinal(a, static_cast<int>(aLength), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

}  // namespace

ReplaceCounter::ReplaceCounter(std::string folder, std::string fileName)
    : folder_(std::move(folder)),
      fileName_(base::Widen(fileName)),
      markerName_(base::Widen(fileName + ".marker")) {}

ReplaceCounter::~ReplaceCounter() { StopThread(); }

bool ReplaceCounter::Start() {
  StopThread();
  count_ = 0;
  overflowed_ = false;
  failed_ = false;
  error_.clear();
  directory_.Reset(CreateFileW(base::WidePath(folder_).c_str(), FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                               nullptr));
  ioEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  stopEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  armedEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  markerEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!directory_ || !ioEvent_ || !stopEvent_ || !armedEvent_ || !markerEvent_) {
    error_ = "cannot watch " + folder_;
    return false;
  }
  thread_.Reset(CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr));
  if (!thread_) {
    error_ = "cannot start the watching thread";
    return false;
  }
  // The first request must be under way before anyone changes the folder.
  HANDLE armedOrEnded[] = {armedEvent_.Get(), thread_.Get()};
  WaitForMultipleObjects(2, armedOrEnded, FALSE, INFINITE);
  if (failed_) {
    error_ = "the system refused to report changes of " + folder_;
    StopThread();
    return false;
  }
  return true;
}

bool ReplaceCounter::Finish(unsigned timeoutMs) {
  if (!thread_) return false;
  std::wstring marker = base::WidePath(folder_ + "\\" + base::Narrow(markerName_));
  base::UniqueFileHandle file(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  file.Reset();
  // The thread ends early only when the reports failed.
  HANDLE markerOrEnded[] = {markerEvent_.Get(), thread_.Get()};
  WaitForMultipleObjects(2, markerOrEnded, FALSE, timeoutMs);
  bool seen = WaitForSingleObject(markerEvent_.Get(), 0) == WAIT_OBJECT_0;
  StopThread();
  DeleteFileW(marker.c_str());
  if (failed_)
    error_ = "the folder's change reports failed";
  else if (!seen)
    error_ = "the folder's change reports stopped before the end";
  else if (overflowed_)
    error_ = "too many changes at once: some were not reported";
  return seen && !overflowed_ && !failed_;
}

void ReplaceCounter::StopThread() {
  if (!thread_) return;
  SetEvent(stopEvent_.Get());
  WaitForSingleObject(thread_.Get(), INFINITE);
  thread_.Reset();
  directory_.Reset();
}

DWORD WINAPI ReplaceCounter::ThreadProc(LPVOID self) {
  static_cast<ReplaceCounter*>(self)->Watch();
  return 0;
}

void ReplaceCounter::Watch() {
  // DWORD-aligned, as the change records require.
  std::vector<DWORD> buffer(16384);
  const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
  for (bool first = true;; first = false) {
    OVERLAPPED request{};
    request.hEvent = ioEvent_.Get();
    ResetEvent(ioEvent_.Get());
    if (!ReadDirectoryChangesW(directory_.Get(), buffer.data(), bytes, FALSE,
                               FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &request, nullptr)) {
      failed_ = true;
      SetEvent(armedEvent_.Get());
      return;
    }
    if (first) SetEvent(armedEvent_.Get());
    HANDLE events[] = {ioEvent_.Get(), stopEvent_.Get()};
    DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    DWORD got = 0;
    if (which != WAIT_OBJECT_0) {
      CancelIoEx(directory_.Get(), &request);
      GetOverlappedResult(directory_.Get(), &request, &got, TRUE);
      return;
    }
    if (!GetOverlappedResult(directory_.Get(), &request, &got, FALSE)) {
      failed_ = true;
      return;
    }
    if (got == 0) {
      // More changes came than the buffer held, and they are lost.
      overflowed_ = true;
      continue;
    }
    Consume(buffer.data(), got);
  }
}

void ReplaceCounter::Consume(const void* records, DWORD size) {
  const BYTE* at = static_cast<const BYTE*>(records);
  const BYTE* end = at + size;
  while (at + sizeof(FILE_NOTIFY_INFORMATION) <= end) {
    auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at);
    size_t length = record->FileNameLength / sizeof(wchar_t);
    bool arrived =
        record->Action == FILE_ACTION_ADDED || record->Action == FILE_ACTION_RENAMED_NEW_NAME;
    if (arrived && SameName(record->FileName, length, fileName_)) ++count_;
    if (arrived && SameName(record->FileName, length, markerName_)) SetEvent(markerEvent_.Get());
    if (record->NextEntryOffset == 0) break;
    at += record->NextEntryOffset;
  }
}
