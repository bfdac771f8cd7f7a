#include "engine/DownloadTask.h"

#include <objbase.h>

#include "winui/Utf8.h"

namespace {

// A fresh GUID in its braced upper-case text form.
std::string NewGuidText() {
  GUID guid{};
  wchar_t text[40] = {};
  if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 40) == 0) return {};
  return winui::Narrow(text);
}

HANDLE CreateNamedEvent(bool manualReset, const std::string& name) {
  std::wstring wide = winui::Widen(name);
  return CreateEventW(nullptr, manualReset, FALSE, wide.empty() ? nullptr : wide.c_str());
}

}  // namespace

CDownloadTask::CDownloadTask() {
  id = NewGuidText();
  ReadEvent.Reset(CreateNamedEvent(true, id));
  readControl.hEvent = ReadEvent.Get();
  buffer = std::make_unique<BYTE[]>(chunkSize);
  id = NewGuidText();
  SpeedEvent.Reset(CreateNamedEvent(false, id));
}

CDownloadTask::~CDownloadTask() {
  // A read still in flight writes into `buffer` and `readControl`: let it finish first.
  if (readPending && sourceHandle) {
    DWORD n = 0;
    GetOverlappedResult(sourceHandle.Get(), &readControl, &n, TRUE);
  }
}

void CDownloadTask::SetState(int newState) {
  CLockGuard guard(stateLock);
  state = newState;
}

int CDownloadTask::GetState() {
  int s = state;
  lastState = s;
  return s;
}

std::string CDownloadTask::GetStateName() const {
  switch (state) {
    case TS_NOTHING:
      return "nothing";
    case TS_READY:
      return "ready";
    case TS_DOWNLOADED:
      return "downloaded";
    case TS_COMPLETED:
      return "completed";
    case TS_WRITE_ERROR:
      return "write error";
    default:
      return {};
  }
}

std::string CDownloadTask::NameFromSource(const std::string& source) {
  size_t slash = source.rfind('\\');
  std::string file = slash == std::string::npos ? source : source.substr(slash + 1);
  size_t dot = file.rfind('.');
  return dot == std::string::npos ? std::string() : file.substr(0, dot);
}
