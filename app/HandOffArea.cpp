#include "app/HandOffArea.h"

#include <cstring>
#include <utility>

#include "app/DownloaderCommandLineInfo.h"
#include "app/HandOffProtocol.h"

CHandOffArea::CHandOffArea(std::wstring name) : name_(std::move(name)) {}

bool CHandOffArea::Create() {
  if (mapping_) return true;
  mapping_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                    HANDOFF_AREA_SIZE, name_.c_str()));
  return mapping_.Valid();
}

void CHandOffArea::Close() { mapping_.Reset(); }

bool CHandOffArea::Take(std::string& text) {
  if (!mapping_) return false;
  base::UniqueMappedView view(
      MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, HANDOFF_AREA_SIZE));
  if (!view) return false;
  auto* base = static_cast<char*>(view.Get());
  auto* state = reinterpret_cast<volatile LONG*>(base + handoff::kStateOffset);
  if (InterlockedCompareExchange(state, handoff::kReading, handoff::kPending) != handoff::kPending)
    return false;
  // Never past the text's room, whatever a writer left there.
  text.assign(base, strnlen(base, handoff::kMaxTextBytes));
  InterlockedExchange(state, handoff::kFree);
  return true;
}

bool CHandOffArea::Receive(const QueueFilesFn& queueFiles) {
  std::string text;
  if (!Take(text)) return false;
  CDownloaderCommandLineInfo info = CDownloaderCommandLineInfo::FromHandOffText(text);
  if (queueFiles) queueFiles(info.m_files, info.m_folder);
  return true;
}
