// Several chunk reads of one file in flight, for a source behind a slow link. With one
// read at a time a file cannot arrive faster than a chunk per round trip (256 KiB per
// 5 ms is 52 MB/s however fast the link is); a few reads in flight fill the link.
// A local disk or the page cache answers a read in well under a millisecond and keeps
// one read: several readers of one local file only make a disk seek between them.
//
// The task's first read (lane) watches its own read times; after kSlowReadsToOpen slow
// reads in a row the window opens and more lanes join, each with a source handle of its
// own (on Windows the reads of one synchronous handle run one after another), each
// with its own buffer, within a budget shared by all tasks. Every lane takes the next
// chunk not yet handed out, reads it and writes it at its offset. Chunks come back out
// of order: the copied position is the end of the run of chunks written from the
// start, so a position kept for a resume never skips a chunk still missing.
//
// Everything here is used with the task table held.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "engine/ChunkRead.h"

class CReadWindow {
 public:
  using ReadPtr = std::shared_ptr<CChunkRead>;

  // A read slower than this came over a link, not from a local disk or the page
  // cache: 256 KiB took 0.1 ms from the page cache and 6 ms from a share with a 5 ms
  // round trip, under Wine.
  static constexpr uint64_t kSlowReadUs = 1500;
  // Slow reads in a row before the window opens: one late read on a busy machine does
  // not make a local file a remote one.
  static constexpr int kSlowReadsToOpen = 3;
  // Chunks in flight per file at most, and for all tasks together when a window opens:
  // tasks that already copy side by side fill the link, and more readers would only
  // wait for threads (and hold up the chunk the copied run waits for).
  static constexpr int kMaxChunks = 8;
  // Buffers of the lanes that join, for all tasks together.
  static constexpr uint64_t kBudgetBytes = 64ull << 20;

  CReadWindow(uint32_t chunkSize, uint64_t fileSize);
  ~CReadWindow();  // gives its share of the budget back
  CReadWindow(const CReadWindow&) = delete;
  CReadWindow& operator=(const CReadWindow&) = delete;

  // Before the window is open: the first lane's read of [offset, offset + count) took
  // `micros`, and `room` lanes may join beside the reads other tasks have in flight.
  // True when the window opens with it; it then hands out the chunks after that one,
  // and the copied run starts at `offset`.
  bool CountRead(uint64_t micros, uint64_t offset, uint32_t count, int room);
  bool IsOpen() const { return open_; }

  // Lanes that may join now, `room` at most, their buffers taken from the budget (0
  // when it is spent).
  int ReserveLanes(int room);
  int LaneCount() const { return static_cast<int>(lanes_.size()); }
  void AddLane(ReadPtr lane) { lanes_.push_back(std::move(lane)); }
  // Whether the read is one of the joined lanes.
  bool HasLane(const ReadPtr& read) const;
  // Lanes that joined, each read in flight abandoned (the caller waits for those
  // before the task opens again); the window has none left after it.
  std::vector<ReadPtr> TakeLanes();

  // The next chunk to read; false when every chunk has been handed out.
  bool TakeNext(uint64_t& offset);
  // A chunk is written; returns the end of the run written from the start.
  uint64_t Written(uint64_t offset, uint32_t count);
  uint64_t WrittenEnd() const { return writtenEnd_; }
  bool AllWritten() const { return writtenEnd_ >= fileSize_; }
  // A chunk's share of the time the last few chunks took to be written: the copy's
  // speed is chunks written over time, as the lanes overlap. Lanes come back in bursts,
  // so the time is spread over a whole window's chunks.
  uint64_t MicrosPerWrite();

  // Window buffers in use by all tasks now (for tests).
  static uint64_t BudgetInUse();

 private:
  uint32_t chunkSize_;
  uint64_t fileSize_;
  int slowReads_ = 0;
  bool open_ = false;
  uint64_t nextOffset_ = 0;
  uint64_t writtenEnd_ = 0;
  std::map<uint64_t, uint64_t> writtenAhead_;  // chunks written past a missing one: start -> end
  uint64_t reserved_ = 0;                      // budget bytes this window holds
  int lanesReserved_ = 0;
  std::array<uint64_t, kMaxChunks> writeTimes_{};  // when the last chunks were written
  uint64_t writes_ = 0;
  std::vector<ReadPtr> lanes_;
};
