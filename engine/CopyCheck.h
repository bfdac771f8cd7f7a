// What makes a copy "verified": a hash of every chunk as it is read from the source,
// and, once the copy is on the disk, a read of the destination that hashes the same
// chunks again and compares. Chunks are kept by their offset, not by the order they
// came in, so chunks read side by side or read again after a pause land in their own
// place. Only the chunks this copy read are known: a copy that went on after a restart
// is checked from the byte it went on at.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "base/Guarded.h"
#include "base/Win.h"

class CCopyCheck {
 public:
  // What a read of the destination found.
  struct Outcome {
    enum Kind { kSame, kDiffers, kFailed, kNothingKnown, kGivenUp } kind = kNothingKnown;
    uint64_t from = 0;       // the first byte checked
    uint64_t differsAt = 0;  // kDiffers: the start of the first chunk that differs
    DWORD error = 0;         // kFailed: why the destination could not be read
  };

  // XXH3, 64 bits.
  static uint64_t Hash(const void* data, size_t count);

  // Any thread, any order: the chunk of `count` bytes at `offset`, as read.
  void Record(uint64_t offset, const void* data, uint32_t count);
  // Forgets every chunk: the copy starts again from the beginning.
  void Clear();

  // Reads the destination at `path` from the first byte of the known chunks that reach
  // up to `endOfFile` without a gap, chunk by chunk, and compares. `stillWanted` is asked
  // between reads; false gives up (the task was paused or deleted meanwhile).
  Outcome ReadBack(const std::string& path, uint64_t endOfFile,
                   const std::function<bool()>& stillWanted) const;

 private:
  struct Chunk {
    uint32_t count = 0;
    uint64_t hash = 0;
  };
  base::Guarded<std::map<uint64_t, Chunk>> chunks_;
};
