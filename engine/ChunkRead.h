// The read side of one open task: its source file, its chunk buffers and the one read
// that may be in flight. A pool thread makes the read; the task keeps the object while
// it is open. Closing the task while a read hangs abandons the object: the pool thread
// still owns it (buffers and handle stay valid until the read returns) and its late
// result is discarded, so a hung share never holds up a Pause, a Stop or a Delete.
//
// Three buffers: the next chunk is read into one while the copy loop still writes
// earlier chunks from the others, and the pool thread that read a chunk goes straight
// on to the next one when a buffer is free (with two, a reader on a slow share often
// waited for the single writer, which serves every task). Still only one read is in
// flight at a time.
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
  // What one read brought, kept apart from the slot: the slot may be reading the next
  // chunk while the copy loop writes this one.
  struct Result {
    bool ok = false;
    DWORD transferred = 0;
    DWORD error = 0;
    uint64_t offset = 0;
    uint64_t durationUs = 0;
    int buffer = 0;
  };

  // `sourceSize` sizes the buffers: a file smaller than a chunk gets a buffer of its
  // own size, and further buffers only when further chunks are read.
  CChunkRead(base::UniqueFileHandle source, uint32_t chunkSize, uint64_t sourceSize);
  ~CChunkRead();
  CChunkRead(const CChunkRead&) = delete;
  CChunkRead& operator=(const CChunkRead&) = delete;

  // Before submitting: the position to read from; marks the read as in flight. The
  // read goes into the buffer that does not hold the last result, so that result stays
  // valid until the read after this one is prepared.
  void Prepare(uint64_t offset);
  // The copy loop's hold on a buffer, under the kernel lock: a buffer whose bytes wait
  // to be written is not read into. NextBufferFree says whether Prepare may run now.
  void HoldBuffer(int buffer) { held_[buffer] = true; }
  void ReleaseBuffer(int buffer) { held_[buffer] = false; }
  bool NextBufferFree() const { return !prepared_ || !held_[(current_ + 1) % kBuffers]; }
  BYTE* BufferAt(int buffer) const { return buffers_[buffer].get(); }
  Result LastResult() const {
    return Result{ok, transferred, error, offset_, durationUs, current_};
  }
  // On a pool thread: reads up to ReadSize() bytes at the prepared offset and records
  // the outcome and how long it took.
  void Run();
  // From another thread: the read is no longer wanted. Asks the platform to cancel it
  // where it can (best effort; a read that cannot be cancelled holds only its pool
  // thread); the result that comes back anyway is ignored by the kernel.
  void Abandon();

  bool InFlight() const { return inFlight_; }
  bool Abandoned() const { return abandoned_; }
  HANDLE Source() const { return source_.Get(); }
  // The bytes of the last completed read, and where in the source they came from.
  BYTE* Buffer() const { return buffers_[current_].get(); }
  uint64_t Offset() const { return offset_; }
  uint32_t ReadSize() const { return readSize_; }

  // The outcome of the last read, valid once InFlight() is false.
  bool ok = false;
  DWORD transferred = 0;
  DWORD error = 0;
  uint32_t durationMs = 0;  // from the start of the read to its end
  uint64_t durationUs = 0;  // the same, finer: a fast share answers in a few ms

 private:
  base::UniqueFileHandle source_;
  uint64_t filePosition_ = 0;  // where the handle's file pointer stands
  uint32_t readSize_;
  static constexpr int kBuffers = 3;
  std::unique_ptr<BYTE[]> buffers_[kBuffers];
  int current_ = 0;  // the buffer the last (or the running) read fills
  bool prepared_ = false;
  bool held_[kBuffers] = {};
  uint64_t offset_ = 0;
  std::atomic<bool> inFlight_{false};
  std::atomic<bool> abandoned_{false};
};
