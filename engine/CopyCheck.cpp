#include "engine/CopyCheck.h"

#include <algorithm>
#include <vector>

#include "base/UniqueHandle.h"
#include "base/Utf8.h"

// The one place the hash is compiled; the header is the build tree's copy of the
// system's own.
#define XXH_STATIC_LINKING_ONLY
#define XXH_IMPLEMENTATION
#include "xxhash.h"

namespace {

// Chunks read back with one call: few calls (each is a round trip to the server under
// Wine) without a large buffer per task that is being checked.
constexpr uint64_t kReadBackBytes = 1024 * 1024;
// A handle of the copy from before a pause may still be closing on a pool thread, and it
// shares no reading: the open waits that long for it.
constexpr int kOpenAttempts = 40;
constexpr DWORD kOpenRetryMs = 250;

}  // namespace

uint64_t CCopyCheck::Hash(const void* data, size_t count) { return XXH3_64bits(data, count); }

void CCopyCheck::Record(uint64_t offset, const void* data, uint32_t count) {
  // Hashed before the lock is taken: threads that read side by side hash side by side.
  const Chunk chunk{count, Hash(data, count)};
  chunks_.Lock()->insert_or_assign(offset, chunk);
}

void CCopyCheck::Clear() { chunks_.Lock()->clear(); }

CCopyCheck::Outcome CCopyCheck::ReadBack(const std::string& path, uint64_t endOfFile,
                                         const std::function<bool()>& stillWanted) const {
  // The chunks that end at the copy's end without a gap, first to last.
  std::vector<std::pair<uint64_t, Chunk>> run;
  {
    auto chunks = chunks_.LockShared();
    uint64_t end = endOfFile;
    for (auto it = chunks->lower_bound(endOfFile); it != chunks->begin();) {
      --it;
      if (it->first + it->second.count != end || it->second.count == 0) break;
      run.push_back(*it);
      end = it->first;
    }
  }
  std::reverse(run.begin(), run.end());
  Outcome outcome;
  outcome.from = run.empty() ? endOfFile : run.front().first;
  // An empty copy has nothing to compare but its length.
  if (run.empty() && endOfFile != 0) return outcome;  // kNothingKnown

  auto failed = [&outcome] {
    outcome.kind = Outcome::kFailed;
    outcome.error = GetLastError() ? GetLastError() : ERROR_READ_FAULT;
    return outcome;
  };
  // Read-shared only: nobody writes the file while it is compared.
  base::UniqueFileHandle file;
  for (int attempt = 1;; ++attempt) {
    file.Reset(CreateFileW(base::WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (file || GetLastError() != ERROR_SHARING_VIOLATION || attempt == kOpenAttempts) break;
    if (!stillWanted()) {
      outcome.kind = Outcome::kGivenUp;
      return outcome;
    }
    Sleep(kOpenRetryMs);
  }
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.Get(), &size)) return failed();
  outcome.kind = Outcome::kDiffers;
  // A copy longer than its source differs past the source's end.
  if (static_cast<uint64_t>(size.QuadPart) > endOfFile) {
    outcome.differsAt = run.empty() ? endOfFile : run.back().first;
    return outcome;
  }
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(outcome.from);
  if (!run.empty() && !SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN)) return failed();
  std::vector<BYTE> buffer;
  for (size_t first = 0; first < run.size();) {
    if (!stillWanted()) {
      outcome.kind = Outcome::kGivenUp;
      return outcome;
    }
    // As many whole chunks as fit one read (at least one, whatever its size).
    size_t last = first;
    uint64_t bytes = run[first].second.count;
    while (last + 1 < run.size() && bytes + run[last + 1].second.count <= kReadBackBytes)
      bytes += run[++last].second.count;
    if (buffer.size() < bytes) buffer.resize(bytes);
    DWORD got = 0;
    if (!ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(bytes), &got, nullptr))
      return failed();
    uint64_t within = 0;
    for (size_t k = first; k <= last; ++k) {
      const Chunk& chunk = run[k].second;
      // A short read is a copy shorter than its source.
      if (within + chunk.count > got || Hash(buffer.data() + within, chunk.count) != chunk.hash) {
        outcome.differsAt = run[k].first;
        return outcome;
      }
      within += chunk.count;
    }
    first = last + 1;
  }
  outcome.kind = Outcome::kSame;
  return outcome;
}
