// One copy job: a source file read in chunks and written to one destination file.
//
// The kernel owns every record and keeps it at one address while it is in the task
// list. The window may read `name`, `source`, `offset`, `fileSize`, `speed`,
// `lastState` and `madeFile` without any lock, for drawing (the numbers are atomics, and
// those texts change only on the window's own thread), and the destination through
// Destination(); everything else belongs to the kernel and its threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/SlimLock.h"
#include "base/UniqueHandle.h"
#include "base/Win.h"
#include "engine/ChunkRead.h"

class CReadWindow;
class CCopyCheck;

enum TaskState {
  TS_NOTHING = 0,      // not open; the watch thread retries it
  TS_READY = 1,        // both files open, the next chunk read is due
  TS_DOWNLOADED = 2,   // a chunk read is in flight
  TS_COMPLETED = 3,    // all bytes copied, files closed
  TS_WRITE_ERROR = 4,  // given up after a failed write, or stopped by the user
  TS_DELETED = 5,      // being removed from the list
};

// Bytes asked for by every read.
constexpr uint32_t CHUNK_SIZE = 262144;

class CDownloadTask {
 public:
  CDownloadTask();
  ~CDownloadTask();
  CDownloadTask(const CDownloadTask&) = delete;
  CDownloadTask& operator=(const CDownloadTask&) = delete;

  // Stores the state under the task's own lock.
  void SetState(int newState);
  // Reads the state without a lock and keeps a copy in `lastState`.
  int GetState();
  // "nothing", "ready", "downloaded", "completed", "write error"; empty for any other.
  std::string GetStateName() const;

  // The file-name part of a path: what follows its last "\\", "/" or ":".
  static std::string FileNameOf(const std::string& path);
  // Display name for a source path: the file-name part without its last extension, or
  // the whole part when it has none.
  static std::string NameFromSource(const std::string& source);

  std::string id;      // braced GUID text
  std::string name;    // display name
  std::string source;  // full source path
  // Where the copy goes. It differs from the destination asked for (folder \\ file
  // name) when a file of that name was already there and the copy went beside it.
  // Written with the task table held and SetDestination's own lock; other threads than the
  // kernel's read it through Destination().
  std::string destination;
  // The destination asked for; kept apart only while it differs (a long list costs no
  // second copy of every path). With the task table held.
  const std::string& AskedDestination() const {
    return askedDestination ? *askedDestination : destination;
  }
  void SetAskedDestination(const std::string& path) {
    askedDestination = path == destination ? nullptr : std::make_unique<std::string>(path);
  }
  void SetDestination(const std::string& path);
  std::string Destination() const;

  // While open: the source and its chunk buffer (with the read in flight, if any), and
  // the destination. Both are shared so that a pool thread that still reads or writes
  // keeps its file when the task is closed meanwhile.
  std::shared_ptr<CChunkRead> read;
  std::shared_ptr<base::UniqueFileHandle> destinationHandle;
  // A read given up by a close that may not have come back yet: the task is not opened
  // again until it has, so it never has two reads in flight. Weak, so that the source
  // closes as soon as the read returns.
  std::weak_ptr<CChunkRead> abandonedRead;
  // A source behind a slow link: more chunks in flight, their reads, and those given up
  // by a close (the task opens again once they are back). With the task table held.
  std::shared_ptr<CReadWindow> window;
  std::vector<std::weak_ptr<CChunkRead>> abandonedLanes;

  uint32_t chunkSize = CHUNK_SIZE;
  std::atomic<uint64_t> fileSize{0};  // size of the source when it was last opened
  std::atomic<uint64_t> offset{0};    // position of the chunk being read or to be read next
  std::atomic<int> lastState{TS_NOTHING};

  uint32_t sampleCount = 0;        // reads counted in the current speed window
  uint64_t accumulatedMicros = 0;  // the reads' own durations summed over the window
  std::atomic<float> speed{0};     // last speed, in the kernel's unit

  // Kernel bookkeeping, with the task table held. Every close counts one generation up, so
  // an open or a write that finishes after a close (or a re-add) knows it is stale.
  uint32_t generation = 0;
  bool openPending = false;     // an open of this generation is under way
  uint32_t openGeneration = 0;  // the generation that open was made for
  DWORD lastOpenError = 0;      // the last open failure logged, 0 after a success
  // The source as it was when this copy began at byte 0: a copy goes on at `offset`
  // only over the same bytes.
  uint64_t copySourceSize = UINT64_MAX;
  uint64_t copySourceTime = 0;
  // The source's creation time as last opened: the finished copy gets it, with the
  // last-write time, as the platform's own copy keeps them.
  uint64_t sourceCreated = 0;
  // The destination as opened may hold bytes past the copy's end: it is cut when the copy
  // completes. A file made new for the copy is not (one request a file saved).
  bool cutAtEnd = true;
  bool restartFromZero = false;  // re-added after it had completed
  // With a limit on the copies at once: the task is due to open and waits for its turn;
  // a task the user resumed goes before the others (a lower rank).
  bool waiting = false;
  int64_t queueRank = 0;
  // With the task table held: an unfinished task at this task's destination whose
  // source may be this very file reached by another path; if the open finds it so (same
  // size and last-write time), that task goes on from this source instead.
  std::weak_ptr<CDownloadTask> sameFileAs;
  // With the task table held: the copy's file is settled (made by this task, or a copy of
  // this run replaced); until then an open looks for a name that is free.
  bool destinationClaimed = false;
  // The task made the file at `destination` (or replaced it at the user's wish): only
  // then may a Delete remove it.
  std::atomic<bool> madeFile{false};
  // How far the destination is known to be on the disk (flushed): the only position
  // the list file may store, so that a power cut never resumes past bytes that were
  // lost. The copying thread flushes once per list write (`flushedForList`).
  uint32_t flushedForList = 0;
  std::atomic<uint64_t> flushedOffset{0};
  // With the task table held: the hashes of the chunks this copy read, while copies are
  // verified, and how often a copy that differed from its source has started over.
  std::shared_ptr<CCopyCheck> check;
  int verifyRestarts = 0;

  // Why the task is not copying, in words for the user ("Access is denied.",
  // "Stopped"); empty while it copies or before anything held it up. Written by the
  // kernel's threads, read by the window: under its own lock.
  void SetWaitReason(const std::string& reason);
  std::string WaitReason() const;

  base::SlimLock stateLock;
  std::atomic<int> state{TS_NOTHING};

  // The window reads records without a lock, trusting that only its own thread removes
  // them. Each record carries a mark while it lives, wiped when it is destroyed: a read
  // of a freed record is then caught (null, counted and logged) instead of passing by
  // luck. Null stays null.
  static CDownloadTask* Checked(CDownloadTask* task);
  static long FreedReads();  // reads caught so far, for tests

 private:
  static constexpr uint32_t kLiveMark = 0x7A5C11FEu;
  std::unique_ptr<std::string> askedDestination;  // null: the same as `destination`
  std::string waitReason;
  volatile uint32_t liveMark = kLiveMark;
};
