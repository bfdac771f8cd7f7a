#include "app/HandOffWriter.h"

#include <cstring>
#include <utility>

#include "app/DownloaderCommandLineInfo.h"
#include "app/HandOffProtocol.h"
#include "base/UniqueHandle.h"

namespace {

constexpr DWORD kPollMs = 5;
constexpr DWORD kRetellMs = 250;

bool Expired(ULONGLONG start, DWORD limitMs) { return GetTickCount64() - start >= limitMs; }

// Owns a named mutex wait that ended with ownership.
class MutexTurn {
 public:
  explicit MutexTurn(HANDLE mutex) : mutex_(mutex) {}
  MutexTurn(const MutexTurn&) = delete;
  MutexTurn& operator=(const MutexTurn&) = delete;
  ~MutexTurn() { ReleaseMutex(mutex_); }

 private:
  HANDLE mutex_;
};

}  // namespace

CHandOffWriter::CHandOffWriter(std::wstring areaName, Timeouts timeouts, LogFn log)
    : areaName_(std::move(areaName)), timeouts_(timeouts), log_(std::move(log)) {}

void CHandOffWriter::Log(const std::string& message) const {
  if (log_) log_(message);
}

std::string CHandOffWriter::FitText(const std::string& text, bool& cut) {
  cut = false;
  if (text.size() <= handoff::kMaxTextBytes) return text;
  cut = true;
  CDownloaderCommandLineInfo info = CDownloaderCommandLineInfo::FromHandOffText(text);
  const std::string tail = info.m_paramCount >= 2 ? " \"" + info.m_folder + "\"" : "";
  std::string out = "\"";
  size_t kept = 0;
  for (const std::string& file : info.m_files) {
    // The path, its ";", the closing quote and the folder must all still fit.
    if (out.size() + file.size() + 2 + tail.size() > handoff::kMaxTextBytes) break;
    out += file + ";";
    ++kept;
  }
  if (kept == 0) return {};
  return out + "\"" + tail;
}

bool CHandOffWriter::Send(const std::string& text, const std::function<DWORD()>& firstThread) {
  // The running instance may have counted itself and not yet made the area.
  base::UniqueKernelHandle mapping;
  for (ULONGLONG start = GetTickCount64();;) {
    mapping.Reset(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, areaName_.c_str()));
    if (mapping) break;
    if (Expired(start, timeouts_.openMs)) {
      Log("Hand-off failed: the running instance has no hand-off area.");
      return false;
    }
    Sleep(kPollMs);
  }
  base::UniqueMappedView view(
      MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, HANDOFF_AREA_SIZE));
  if (!view) {
    Log("Hand-off failed: the hand-off area cannot be mapped.");
    return false;
  }

  base::UniqueKernelHandle lock(
      CreateMutexW(nullptr, FALSE, handoff::WriterLockName(areaName_).c_str()));
  if (!lock) {
    Log("Hand-off failed: no writer lock.");
    return false;
  }
  // An abandoned lock (a writer that died) is ours all the same.
  DWORD wait = WaitForSingleObject(lock.Get(), timeouts_.turnMs);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    Log("Hand-off failed: another start kept the hand-off area too long.");
    return false;
  }
  MutexTurn turn(lock.Get());

  auto* base = static_cast<char*>(view.Get());
  auto* state = reinterpret_cast<volatile LONG*>(base + handoff::kStateOffset);
  auto tell = [&] {
    DWORD thread = firstThread ? firstThread() : 0;
    return thread != 0 && PostThreadMessageW(thread, WM_HANDOFF, 0, 0) != FALSE;
  };

  if (!WaitUntilTaken(state, tell)) {
    // Nobody takes texts any more (the instance hangs or is gone): take the area back
    // rather than wait for ever.
    if (InterlockedCompareExchange(state, handoff::kFree, handoff::kPending) == handoff::kPending)
      Log("Hand-off: the text before this one was never taken and is replaced.");
    else
      InterlockedExchange(state, handoff::kFree);
  }

  bool cut = false;
  const std::string fitted = FitText(text, cut);
  if (cut) {
    Log("Hand-off text of " + std::to_string(text.size()) + " bytes cut to " +
        std::to_string(fitted.size()) + " bytes: the sources after the last whole one that " +
        "fits are dropped.");
    if (fitted.empty()) return false;
  }
  std::memset(base, 0, handoff::kStateOffset);
  std::memcpy(base, fitted.data(), fitted.size());
  InterlockedExchange(state, handoff::kPending);

  bool told = false;
  for (ULONGLONG start = GetTickCount64(); !(told = tell());) {
    if (Expired(start, timeouts_.openMs) || *state != handoff::kPending) break;
    Sleep(kPollMs);
  }
  if (!told) {
    // Nobody was told. Withdraw the text unless the instance took it meanwhile.
    if (InterlockedCompareExchange(state, handoff::kFree, handoff::kPending) != handoff::kPending)
      return true;
    Log("Hand-off failed: the running instance cannot be told.");
    return false;
  }
  // Stay until the text is taken: a message that arrives while the instance runs a
  // dialog's own loop is dropped there, so it is sent again until it is seen.
  if (!WaitUntilTaken(state, tell))
    Log("Hand-off: the running instance has not taken the text yet; it stays in the area.");
  return true;
}

bool CHandOffWriter::WaitUntilTaken(volatile LONG* state, const std::function<bool()>& tell) const {
  ULONGLONG start = GetTickCount64();
  ULONGLONG lastTold = start;
  while (*state != handoff::kFree) {
    if (Expired(start, timeouts_.readMs)) return false;
    if (Expired(lastTold, kRetellMs)) {
      tell();
      lastTold = GetTickCount64();
    }
    Sleep(kPollMs);
  }
  return true;
}
