// Saves the task list file: a snapshot of the table taken under its lock (shared), the
// file written without it. Chunks mark the list changed; the downloader thread writes
// it when a write is due (WriteDeferred), at most every kListRewriteMs while tasks
// copy, within kListClaimRewriteMs of a name a task claimed, and positions alone every
// kListPositionRewriteMs. Pool threads never write it themselves, so a list file that
// hangs never holds up the kernel's end or a copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Guarded.h"
#include "base/Win.h"
#include "engine/TaskListFile.h"
#include "engine/TaskTable.h"

// Shortest time between two writes of the list file while chunks are copied.
constexpr uint32_t kListRewriteMs = 250;
// A copy's position alone moves with every chunk: the list is rewritten for it this
// seldom, so that a restart goes on at most this much copying behind.
constexpr uint32_t kListPositionRewriteMs = 2000;
// A name a task claimed is in the file at most this long after the claim: the names
// claimed meanwhile share one write. (Each claim written before its copy went on cost
// 2,000 files of 16 KiB some 600 writes of the whole list, a fifth of their time.)
constexpr uint32_t kListClaimRewriteMs = 50;
// A list that could not be written is tried again this long after, without waiting for
// another change, the wait doubling up to kListRetryMaxMs while it keeps failing.
constexpr uint32_t kListRetryMs = 2000;
constexpr uint32_t kListRetryMaxMs = 60000;

class CListSaver {
 public:
  // `wake` is set when a write becomes due (the downloader thread's WorkEvent).
  CListSaver(const CTaskTable& table, HANDLE wake);
  CListSaver(const CListSaver&) = delete;
  CListSaver& operator=(const CListSaver&) = delete;

  // By default next to the program as "<program name>.info"; set before Start.
  void SetPath(const std::string& path) { listPath = path; }
  const std::string& Path() const { return listPath; }

  // Writes the list now when it changed, or returns once a write that began after this
  // call has ended (callers that arrive during one write share the next). `positionsNow`:
  // also positions that moved within kListPositionRewriteMs. Never with the table held.
  void Save(bool positionsNow = false) { SaveFrom(positionsNow, false); }
  // Marks the list changed for the downloader thread (`now`: due at once).
  void SaveSoon(bool now = false);
  // Marks a claimed name for the downloader thread: due within kListClaimRewriteMs.
  void SaveClaimSoon();
  // On the downloader thread: writes the list when a deferred write is due; returns the
  // milliseconds until the next one (INFINITE when none is pending).
  DWORD WriteDeferred();
  // A change waits for the next write.
  bool Dirty() const { return dirty_; }
  // List files written so far: a copying thread flushes before the next one stores its
  // position.
  uint32_t Writes() const { return writes_; }

 private:
  // What was last written, and how it went; the writers are ordered by its lock (the
  // file is ours, next to the program, and written while it is held).
  struct Written {
    uint64_t covered = 0;  // the last Save ticket whose change the file on disk holds
    std::vector<TaskListEntry> entries;
    bool any = false;
    uint64_t positionsTick = 0;  // when positions were last written
    uint64_t writeMs = 0;        // how long the last write took
    DWORD saveError = 0;         // why the last save failed, 0 after a good one; logged on change
    uint64_t retryMs = 0;        // the wait before the next try after a failed save
  };

  // Save; a failed write wakes the downloader thread to wait for the retry, unless this
  // is that thread.
  void SaveFrom(bool positionsNow, bool writerThread);
  // Milliseconds until a deferred write is due, 0 when it is due now.
  DWORD DueInMs() const;

  const CTaskTable& table_;
  HANDLE wake_;
  std::string listPath;
  std::atomic<uint64_t> tickets_{0};  // one per Save call, drawn before its snapshot
  base::Guarded<Written> written_;
  std::atomic<bool> dirty_{false};
  // When the list was last written (or checked); after a failed write, set so that the
  // next routine write waits for the retry.
  std::atomic<uint64_t> writeTick_{0};
  std::atomic<uint64_t> claimDue_{0};  // when a claimed name must be written, 0: none
  std::atomic<uint32_t> writes_{0};
};
