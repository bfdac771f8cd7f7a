#include "engine/ListSaver.h"

#include <algorithm>

#include "base/ErrorText.h"
#include "engine/DataFolder.h"
#include "engine/EventLog.h"

namespace {

// The same tasks in the same states, wherever their copies stand.
bool SameTasks(const std::vector<TaskListEntry>& a, const std::vector<TaskListEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].state != b[i].state || a[i].name != b[i].name || a[i].source != b[i].source ||
        a[i].destination != b[i].destination || a[i].madeFile != b[i].madeFile ||
        a[i].askedDestination != b[i].askedDestination)
      return false;
  return true;
}

bool SamePositions(const std::vector<TaskListEntry>& a, const std::vector<TaskListEntry>& b) {
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].offset != b[i].offset || a[i].sourceSize != b[i].sourceSize ||
        a[i].sourceTime != b[i].sourceTime)
      return false;
  return true;
}

}  // namespace

CListSaver::CListSaver(const CTaskTable& table, HANDLE wake)
    : table_(table), wake_(wake), listPath(CDataFolder::BesideThisProgram().ListPath()) {}

void CListSaver::SaveFrom(bool positionsNow, bool writerThread) {
  // Every change made before this call is in any snapshot taken after this line.
  const uint64_t ticket = ++tickets_;
  // The snapshot is taken with the writers' lock held: the many pool threads that each
  // save the name they claimed queue here, and the first to get the lock after a write
  // writes for all of them (one file write and one flush, not one each).
  auto written = written_.Lock();
  if (written->covered >= ticket) return;
  const uint64_t covers = tickets_.load();
  // Cleared before the snapshot: a change made after it marks the list again.
  dirty_ = false;
  claimDue_ = 0;
  writeTick_ = GetTickCount64();
  std::vector<TaskListEntry> current;
  {
    auto rows = table_.Read();
    current.reserve(rows->Tasks().size());
    for (auto& task : rows->Tasks()) {
      int state = task->GetState();
      if (state == TS_COMPLETED || state == TS_DELETED) continue;
      TaskListEntry entry{task->name, task->source, task->destination, state};
      if (&task->AskedDestination() != &task->destination)
        entry.askedDestination = task->AskedDestination();
      entry.madeFile = task->madeFile;
      // Only a copy under way over a source of known size has a place to go on from,
      // and only as far as its bytes are known to be on the disk.
      const uint64_t flushed = std::min<uint64_t>(task->flushedOffset, task->offset);
      if (flushed > 0 && task->copySourceSize != UINT64_MAX) {
        entry.offset = flushed;
        entry.sourceSize = task->copySourceSize;
        entry.sourceTime = task->copySourceTime;
      }
      current.push_back(std::move(entry));
    }
  }
  const bool sameTasks = written->any && SameTasks(current, written->entries);
  if (sameTasks && SamePositions(current, written->entries)) {
    written->covered = covers;
    return;
  }
  const uint64_t now = GetTickCount64();
  // A long list takes long to write: positions alone never take more than a twentieth
  // of the copy thread's time.
  const uint64_t positionsEvery = std::max<uint64_t>(kListPositionRewriteMs, 20 * written->writeMs);
  if (sameTasks && !positionsNow && now - written->positionsTick < positionsEvery) {
    dirty_ = true;  // the downloader thread comes back to it
    return;
  }
  const bool saved = CTaskListFile(listPath).Write(CTaskListFile::Format(current));
  written->writeMs = GetTickCount64() - now;
  if (saved) {
    ++writes_;
    written->positionsTick = now;
    written->entries = std::move(current);
    written->any = true;
    written->covered = covers;
    if (written->saveError)
      g_log.Write(("The task list is saved again to " + listPath + ".").c_str());
    written->saveError = 0;
    written->retryMs = 0;
    return;
  }
  // Once per change of reason: a folder that stays unwritable must not fill the log
  // with a line per chunk, yet unfinished work that would not survive a restart is
  // worth a line.
  const DWORD error = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
  if (error != written->saveError)
    g_log.Write(("The task list cannot be saved to " + listPath + ": " + base::ErrorText(error) +
                 " Unfinished downloads will not be resumed after a restart.")
                    .c_str());
  written->saveError = error;
  // The tasks not written are still to be written, change or no change: a reader that
  // held the file, or a folder that came back, must not leave them out until the next
  // change, which may never come before a restart.
  written->retryMs =
      std::min<uint64_t>(kListRetryMaxMs, std::max<uint64_t>(kListRetryMs, 2 * written->retryMs));
  writeTick_ = GetTickCount64() + written->retryMs - kListRewriteMs;
  dirty_ = true;
  // The downloader thread may be asleep with no write pending: it sets its wait anew.
  if (!writerThread) SetEvent(wake_);
}

void CListSaver::SaveSoon(bool now) {
  if (now) writeTick_ = 0;  // due at once
  // The downloader thread writes it when it is due; without it (stopped), the kernel's
  // end does.
  if (!dirty_.exchange(true) || now) SetEvent(wake_);
}

void CListSaver::SaveClaimSoon() {
  const uint64_t due = GetTickCount64() + kListClaimRewriteMs;
  dirty_ = true;
  uint64_t was = claimDue_.load();
  while ((was == 0 || was > due) && !claimDue_.compare_exchange_weak(was, due)) {
  }
  // Only the first claim since a write wakes the downloader thread; it then sleeps until
  // that claim is due, and the claims after it go in the same write.
  if (was == 0) SetEvent(wake_);
}

DWORD CListSaver::DueInMs() const {
  uint64_t due = writeTick_ + kListRewriteMs;
  if (const uint64_t claim = claimDue_; claim != 0 && claim < due) due = claim;
  const uint64_t now = GetTickCount64();
  return now < due ? static_cast<DWORD>(due - now) : 0;
}

DWORD CListSaver::WriteDeferred() {
  if (!dirty_) return INFINITE;
  if (const DWORD wait = DueInMs()) return wait;
  SaveFrom(false, true);
  // Positions alone may have been put off again, or a failed write waits for its retry:
  // come back for them.
  return dirty_ ? std::max<DWORD>(DueInMs(), 1) : INFINITE;
}
