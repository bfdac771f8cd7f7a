#include "app/HandOffReader.h"

#include "app/HandOffProtocol.h"

namespace {

// A writer that sets no event (or one whose event was missed) is still seen this often.
constexpr DWORD kPollMs = 250;

}  // namespace

CHandOffReader::CHandOffReader(CHandOffArea& area, DWORD notifyThread)
    : area_(area), notifyThread_(notifyThread) {}

bool CHandOffReader::Start() {
  if (Running()) return true;
  textEvent_.Reset(
      CreateEventW(nullptr, FALSE, FALSE, handoff::TextEventName(area_.Name()).c_str()));
  stopEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!textEvent_ || !stopEvent_) return false;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void CHandOffReader::Stop() {
  if (!Running()) return;
  SetEvent(stopEvent_.Get());
  thread_.join();
}

bool CHandOffReader::Next(std::string& text) {
  base::SlimGuard hold(lock_);
  if (texts_.empty()) return false;
  text = std::move(texts_.front());
  texts_.pop_front();
  return true;
}

void CHandOffReader::Run() {
  const HANDLE waits[] = {stopEvent_.Get(), textEvent_.Get()};
  for (;;) {
    if (WaitForMultipleObjects(2, waits, FALSE, kPollMs) == WAIT_OBJECT_0) return;
    std::string text;
    while (area_.Take(text)) {
      {
        base::SlimGuard hold(lock_);
        texts_.push_back(std::move(text));
      }
      if (HWND window = notifyWindow_)
        PostMessageW(window, WM_HANDOFF, 0, 0);
      else
        PostThreadMessageW(notifyThread_, WM_HANDOFF, 0, 0);
    }
  }
}
