#include "app/HandOffArea.h"

#include <cstring>
#include <utility>

#include "app/DownloaderCommandLineInfo.h"
#include "app/HandOffProtocol.h"

CHandOffArea::CHandOffArea(std::wstring name) : name_(std::move(name)) {}

bool CHandOffArea::Create() {
  if (view_) return true;
  mapping_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                    HANDOFF_AREA_SIZE, name_.c_str()));
  if (!mapping_) return false;
  view_.Reset(MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, HANDOFF_AREA_SIZE));
  if (!view_) mapping_.Reset();
  // Without it writers look at the state now and then: slower, never wrong.
  if (view_)
    takenEvent_.Reset(CreateEventW(nullptr, FALSE, FALSE, handoff::TakenEventName(name_).c_str()));
  return view_.Valid();
}

void CHandOffArea::Close() {
  view_.Reset();
  mapping_.Reset();
  takenEvent_.Reset();
}

bool CHandOffArea::Take(std::string& text) {
  if (!view_) return false;
  auto* base = static_cast<char*>(view_.Get());
  auto* state = reinterpret_cast<volatile LONG*>(base + handoff::kStateOffset);
  if (InterlockedCompareExchange(state, handoff::kReading, handoff::kPending) != handoff::kPending)
    return false;
  // Never past the text's room, whatever a writer left there.
  text.assign(base, strnlen(base, handoff::kMaxTextBytes));
  InterlockedExchange(state, handoff::kFree);
  if (takenEvent_) SetEvent(takenEvent_.Get());
  return true;
}

void CHandOffArea::Queue(const std::string& text, const QueueFilesFn& queueFiles) {
  CDownloaderCommandLineInfo info = CDownloaderCommandLineInfo::FromHandOffText(text);
  if (queueFiles) queueFiles(info.m_files, info.m_folder);
}

bool CHandOffArea::Receive(const QueueFilesFn& queueFiles) {
  std::string text;
  if (!Take(text)) return false;
  Queue(text, queueFiles);
  return true;
}
