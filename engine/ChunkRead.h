// The read side of one open task: its source file, its chunk buffer and the one read
// that may be in flight. A pool thread makes the read; the task keeps the object while
// it is open. Closing the task while a read hangs abandons the object: the pool thread
// still owns it (buffer and handle stay valid until the read returns) and its late
// result is discarded, so a hung share never holds up a Pause, a Stop or a Delete.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/UniqueHandle.h"
#include "base/Win.h"

class CChunkRead {
 public:
  CChunkRead(base::UniqueFileHandle source, uint32_t chunkSize);
  ~CChunkRead();
  CChunkRead(const CChunkRead&) = delete;
  CChunkRead& operator=(const CChunkRead&) = delete;

  // Before submitting: the position to read from; marks the read as in flight.
  void Prepare(uint64_t offset);
  // On a pool thread: reads up to chunkSize bytes at the prepared offset and records
  // the outcome and how long it took.
  void Run();
  // From another thread: the read is no longer wanted. Asks the platform to cancel it
  // where it can; the result that comes back anyway is ignored by the kernel.
  void Abandon();

  bool InFlight() const { return inFlight_; }
  bool Abandoned() const { return abandoned_; }
  HANDLE Source() const { return source_.Get(); }
  BYTE* Buffer() const { return buffer_.get(); }
  uint32_t ChunkSize() const { return chunkSize_; }

  // The outcome of the last read, valid once InFlight() is false.
  bool ok = false;
  DWORD transferred = 0;
  DWORD error = 0;
  uint32_t durationMs = 0;  // from the start of the read to its end

 private:
  base::UniqueFileHandle source_;
  base::UniqueKernelHandle done_;  // the overlapped read's own event
  OVERLAPPED control_{};
  uint32_t chunkSize_;
  std::unique_ptr<BYTE[]> buffer_;
  std::atomic<bool> inFlight_{false};
  std::atomic<bool> abandoned_{false};
};
