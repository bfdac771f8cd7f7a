// The read side of one open task: its source file, its chunk buffer and the one read
// that may be in flight. A pool thread makes the read and then writes the chunk itself,
// so the bytes are still in that core's cache when they go out (handing them to
// another thread to write cost about twice the CPU under Wine). The task keeps the
// object while it is open. Closing the task while a read hangs abandons the object:
// the pool thread still owns it (buffer and handle stay valid until the read returns)
// and its late result is discarded, so a hung share never holds up a Pause, a Stop or
// a Delete.
//
// The source handle is a plain (not overlapped) one, read at its file position: under
// Wine an overlapped read, or one that carries its own offset, costs round trips to the
// server that took longer than reading 256 KiB itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/UniqueHandle.h"
#include "base/Win.h"

class CChunkRead {
 public:
  // What one read brought.
  struct Result {
    bool ok = false;
    DWORD transferred = 0;
    DWORD error = 0;
    uint64_t offset = 0;
    uint64_t durationUs = 0;
  };

  // `sourceSize` sizes the buffer, made at the first Run: a file smaller than a chunk
  // gets one of its own size.
  CChunkRead(base::UniqueFileHandle source, uint32_t chunkSize, uint64_t sourceSize);
  ~CChunkRead();
  CChunkRead(const CChunkRead&) = delete;
  CChunkRead& operator=(const CChunkRead&) = delete;

  // Before submitting: the position to read from; marks the read as in flight. The
  // last chunk must have been written: the read goes into the same buffer.
  void Prepare(uint64_t offset);
  // The outcome of the last read, valid once InFlight() is false.
  Result LastResult() const { return Result{ok_, transferred_, error_, offset_, durationUs_}; }
  // On a pool thread: reads up to ReadSize() bytes at the prepared offset and records
  // the outcome and how long it took.
  void Run();
  // From another thread: the read is no longer wanted. Asks the platform to cancel it
  // where it can (best effort; a read that cannot be cancelled holds only its pool
  // thread); the result that comes back anyway is ignored by the kernel.
  void Abandon();
  // By the thread that reads, once the last chunk is in.
  void CloseSource() { source_.Reset(); }

  bool InFlight() const { return inFlight_; }
  bool Abandoned() const { return abandoned_; }
  HANDLE Source() const { return source_.Get(); }
  // The bytes of the last completed read, and where in the source they came from.
  BYTE* Buffer() const { return buffer_.get(); }
  uint64_t Offset() const { return offset_; }
  uint32_t ReadSize() const { return readSize_; }

  // The clock read times are taken with.
  static uint64_t NowMicros();

 private:
  base::UniqueFileHandle source_;
  uint64_t filePosition_ = 0;  // where the handle's file pointer stands
  uint32_t readSize_;
  std::unique_ptr<BYTE[]> buffer_;
  uint64_t offset_ = 0;
  bool ok_ = false;
  DWORD transferred_ = 0;
  DWORD error_ = 0;
  uint64_t durationUs_ = 0;  // from the start of the read to its end
  std::atomic<bool> inFlight_{false};
  std::atomic<bool> abandoned_{false};
};
