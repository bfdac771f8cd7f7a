// One copy job: a source file read in chunks and written to one destination file.
//
// The kernel owns every record and keeps it at one address while it is in the task
// list (a read in flight points into it). The window may read `name`, `source`,
// `destination`, `offset`, `fileSize`, `speed` and `lastState` without any lock, for
// drawing; everything else belongs to the kernel and its threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/CriticalSection.h"
#include "winui/UniqueHandle.h"
#include "winui/Win.h"

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

  // Display name for a source path: the file-name part without its last extension.
  static std::string NameFromSource(const std::string& source);

  std::string id;           // braced GUID text naming SpeedEvent
  std::string name;         // display name
  std::string source;       // full source path
  std::string destination;  // full destination path

  winui::UniqueFileHandle sourceHandle;       // overlapped reads
  winui::UniqueFileHandle destinationHandle;  // synchronous writes
  OVERLAPPED readControl{};                   // hEvent is the manual-reset ReadEvent
  bool readPending = false;                   // a read was issued and not yet collected

  uint32_t chunkSize = CHUNK_SIZE;
  DWORD bytesRead = 0;
  uint64_t fileSize = 0;  // size of the source when it was last opened
  uint64_t offset = 0;    // position of the chunk being read or to be read next
  std::atomic<int> lastState{TS_NOTHING};

  uint32_t readStartTick = 0;    // tick count when the current read was issued
  uint32_t sampleCount = 0;      // reads counted in the current speed window
  uint32_t accumulatedTime = 0;  // milliseconds summed over the window
  float speed = 0;               // last speed, in the kernel's unit

  winui::UniqueKernelHandle SpeedEvent;  // auto-reset, set once per completed read
  winui::UniqueKernelHandle ReadEvent;   // manual-reset, owned here, used by readControl
  std::unique_ptr<BYTE[]> buffer;        // chunkSize bytes, reused for every chunk

  CCriticalSection stateLock;
  std::atomic<int> state{TS_NOTHING};
};
