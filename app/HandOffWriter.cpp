#include "app/HandOffWriter.h"

#include <cstring>
#include <utility>

#include "app/DownloaderCommandLineInfo.h"
#include "app/HandOffProtocol.h"
#include "base/UniqueHandle.h"

namespace {

constexpr DWORD kPollMs = 5;
// How long a writer sleeps on the running instance's "taken" event before it looks
// again (for a gone instance, a retelling, its time limit).
constexpr DWORD kWakeMs = 50;
constexpr DWORD kRetellMs = 250;
constexpr DWORD kGoneCheckMs = 50;

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

std::string BuildText(const std::vector<std::string>& files, size_t from, size_t to,
                      const std::string& tail) {
  // Sources hold no quote, and each is followed by ";": no backslash of theirs ever
  // stands before a quote.
  std::string out = "\"";
  for (size_t i = from; i < to; ++i) out += files[i] + ";";
  return out + "\"" + tail;
}

// The folder parameter of `info` as a text to append, empty when it had none. The
// parameter rule takes one quote off each end and one ";" off the end, so a folder that
// would lose a character that way is sent with one more to lose.
std::string FolderTail(const CDownloaderCommandLineInfo& info) {
  if (info.m_paramCount < 2) return {};
  std::string folder = info.m_folder;
  if (!folder.empty() && (folder.back() == ';' || folder.back() == '"')) folder += ';';
  if (!folder.empty() && folder.front() == '"') folder.insert(0, 1, '"');
  return " " + CDownloaderCommandLineInfo::QuoteArgument(folder);
}

}  // namespace

CHandOffWriter::CHandOffWriter(std::wstring areaName, Timeouts timeouts, LogFn log)
    : areaName_(std::move(areaName)), timeouts_(timeouts), log_(std::move(log)) {}

void CHandOffWriter::Log(const std::string& message) const {
  if (log_) log_(message);
}

bool CHandOffWriter::Expired() const { return GetTickCount64() - start_ >= timeouts_.limitMs; }

std::vector<std::string> CHandOffWriter::SplitText(const std::string& text, size_t& dropped) {
  dropped = 0;
  if (text.size() <= handoff::kMaxTextBytes) return {text};
  CDownloaderCommandLineInfo info = CDownloaderCommandLineInfo::FromHandOffText(text);
  const std::string tail = FolderTail(info);
  std::vector<std::string> texts;
  size_t first = 0, bytes = 1 + 1 + tail.size();  // the quotes and the folder
  for (size_t i = 0; i < info.m_files.size(); ++i) {
    const size_t need = info.m_files[i].size() + 1;
    if (bytes + need <= handoff::kMaxTextBytes) {
      bytes += need;
      continue;
    }
    if (i > first) texts.push_back(BuildText(info.m_files, first, i, tail));
    first = i;
    bytes = 2 + tail.size() + need;
    if (bytes > handoff::kMaxTextBytes) {  // not even alone
      ++dropped;
      first = i + 1;
      bytes = 2 + tail.size();
    }
  }
  if (first < info.m_files.size())
    texts.push_back(BuildText(info.m_files, first, info.m_files.size(), tail));
  return texts;
}

CHandOffWriter::Outcome CHandOffWriter::Send(const std::string& text,
                                             const std::function<DWORD()>& firstThread,
                                             const std::function<bool()>& firstGone,
                                             std::string* unsent) {
  start_ = GetTickCount64();
  auto gone = [&] { return firstGone && firstGone(); };
  const std::string limit = std::to_string(timeouts_.limitMs / 1000) + " s";

  // The running instance may have counted itself and not yet made the area.
  base::UniqueKernelHandle mapping;
  Wait wait = WaitFor(
      [&] {
        mapping.Reset(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, areaName_.c_str()));
        return mapping.Valid();
      },
      gone);
  if (wait == Wait::kTimeout)
    Log("Hand-off failed: the running instance has had no hand-off area for " + limit + ".");
  if (wait != Wait::kDone) return GiveUp(wait, text, unsent);
  base::UniqueMappedView view(
      MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, HANDOFF_AREA_SIZE));
  if (!view) {
    Log("Hand-off failed: the hand-off area cannot be mapped.");
    return Outcome::kFailed;
  }

  base::UniqueKernelHandle lock(
      CreateMutexW(nullptr, FALSE, handoff::WriterLockName(areaName_).c_str()));
  if (!lock) {
    Log("Hand-off failed: no writer lock.");
    return Outcome::kFailed;
  }
  wait = WaitFor(
      [&] {
        // An abandoned lock (a writer that died) is ours all the same. Waited for, not
        // looked at every few ms: many starts at once each wait their turn here.
        DWORD got = WaitForSingleObject(lock.Get(), kWakeMs);
        return got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
      },
      gone);
  if (wait == Wait::kTimeout)
    Log("Hand-off failed: other starts kept the hand-off area for " + limit + ".");
  if (wait != Wait::kDone) return GiveUp(wait, text, unsent);
  MutexTurn turn(lock.Get());

  auto* base = static_cast<char*>(view.Get());
  auto* state = reinterpret_cast<volatile LONG*>(base + handoff::kStateOffset);
  base::UniqueKernelHandle textEvent(
      OpenEventW(EVENT_MODIFY_STATE, FALSE, handoff::TextEventName(areaName_).c_str()));
  base::UniqueKernelHandle takenEvent(
      OpenEventW(SYNCHRONIZE, FALSE, handoff::TakenEventName(areaName_).c_str()));
  auto taken = [&] { return *state == handoff::kFree; };
  // The running instance's reader thread waits on the text event and wakes the window
  // itself; the window's thread is told directly only where there is no event, which
  // keeps the window library out of a later start.
  auto tell = [&] {
    if (textEvent) {
      SetEvent(textEvent.Get());
    } else if (DWORD thread = firstThread ? firstThread() : 0) {
      PostThreadMessageW(thread, WM_HANDOFF, 0, 0);
    }
  };

  size_t dropped = 0;
  const std::vector<std::string> texts = SplitText(text, dropped);
  if (dropped)
    Log("Hand-off: " + std::to_string(dropped) +
        " source path(s) too long for the hand-off area are left out.");
  if (texts.size() > 1)
    Log("Hand-off text of " + std::to_string(text.size()) + " bytes sent as " +
        std::to_string(texts.size()) + " texts.");
  auto rest = [&](size_t from) {
    if (!unsent) return;
    if (from == 0) {
      *unsent = text;
      return;
    }
    // The sources of the texts not taken, as one text with the same folder.
    CDownloaderCommandLineInfo whole = CDownloaderCommandLineInfo::FromHandOffText(text);
    std::vector<std::string> files;
    for (size_t i = from; i < texts.size(); ++i) {
      CDownloaderCommandLineInfo part = CDownloaderCommandLineInfo::FromHandOffText(texts[i]);
      files.insert(files.end(), part.m_files.begin(), part.m_files.end());
    }
    *unsent = BuildText(files, 0, files.size(), FolderTail(whole));
  };

  for (size_t i = 0; i < texts.size(); ++i) {
    // A text never replaces one the running instance has not taken.
    switch (WaitFor(taken, gone, tell, takenEvent.Get())) {
      case Wait::kDone:
        break;
      case Wait::kGone:
        rest(i);
        return Outcome::kInstanceGone;
      case Wait::kTimeout:
        Log("Hand-off failed: the running instance did not take the text before this one for " +
            limit + ".");
        return Outcome::kFailed;
    }
    std::memset(base, 0, handoff::kStateOffset);
    std::memcpy(base, texts[i].data(), texts[i].size());
    InterlockedExchange(state, handoff::kPending);
    tell();
  }

  const Wait last = WaitFor(taken, gone, tell, takenEvent.Get());
  if (last == Wait::kDone) return Outcome::kTaken;
  // Withdrawn unless the instance took it meanwhile.
  if (InterlockedCompareExchange(state, handoff::kFree, handoff::kPending) != handoff::kPending)
    return Outcome::kTaken;
  if (last == Wait::kGone) {
    rest(texts.size() - 1);
    return Outcome::kInstanceGone;
  }
  Log("Hand-off failed: the running instance did not take the text for " + limit + ".");
  return Outcome::kFailed;
}

CHandOffWriter::Outcome CHandOffWriter::GiveUp(Wait wait, const std::string& text,
                                               std::string* unsent) {
  if (wait != Wait::kGone) return Outcome::kFailed;
  if (unsent) *unsent = text;
  return Outcome::kInstanceGone;
}

CHandOffWriter::Wait CHandOffWriter::WaitFor(const std::function<bool()>& done,
                                             const std::function<bool()>& gone,
                                             const std::function<void()>& tell, HANDLE wake) const {
  ULONGLONG lastTold = GetTickCount64(), lastCheck = 0;
  while (!done()) {
    const ULONGLONG now = GetTickCount64();
    if (now - lastCheck >= kGoneCheckMs) {
      lastCheck = now;
      if (gone()) return Wait::kGone;
    }
    if (Expired()) return Wait::kTimeout;
    // A message that arrives while the window runs a dialog's own loop may be dropped
    // there, so it is sent again until the text is seen.
    if (tell && now - lastTold >= kRetellMs) {
      tell();
      lastTold = now;
    }
    if (wake)
      WaitForSingleObject(wake, kWakeMs);
    else
      Sleep(kPollMs);
  }
  return Wait::kDone;
}
