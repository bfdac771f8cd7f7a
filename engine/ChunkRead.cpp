#include "engine/ChunkRead.h"

#include <algorithm>

uint64_t CChunkRead::NowMicros() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart / frequency * 1000000 +
                               now.QuadPart % frequency * 1000000 / frequency);
}

CChunkRead::CChunkRead(base::UniqueFileHandle source, uint32_t chunkSize, uint64_t sourceSize)
    : source_(std::move(source)),
      // An empty source still gets a read, which finds its end.
      readSize_(
          static_cast<uint32_t>(std::max<uint64_t>(1, std::min<uint64_t>(chunkSize, sourceSize)))) {
}

CChunkRead::~CChunkRead() = default;

void CChunkRead::Prepare(uint64_t offset) {
  offset_ = offset;
  ok_ = false;
  transferred_ = 0;
  error_ = 0;
  inFlight_ = true;
}

void CChunkRead::Run() {
  uint64_t start = NowMicros();
  DWORD n = 0;
  BOOL done = TRUE;
  // Chunks are read in order, so the pointer is already there but after a resume.
  if (filePosition_ != offset_) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset_);
    done = SetFilePointerEx(source_.Get(), to, nullptr, FILE_BEGIN);
  }
  // Made when the first read runs, not at the open or when it is queued: thousands of
  // tasks opened and waiting for a thread hold no buffers.
  if (!buffer_) buffer_ = std::make_unique<BYTE[]>(readSize_);
  if (done) done = ReadFile(source_.Get(), buffer_.get(), readSize_, &n, nullptr);
  ok_ = done != FALSE;
  error_ = ok_ ? 0 : GetLastError();
  transferred_ = ok_ ? n : 0;
  // After a failure the pointer is unknown: the next read seeks.
  filePosition_ = ok_ ? offset_ + n : UINT64_MAX;
  durationUs_ = NowMicros() - start;
  inFlight_ = false;
}

void CChunkRead::Abandon() {
  abandoned_ = true;
  // Ends a read that Windows can cancel; under Wine the read runs inside ReadFile and
  // the pool thread simply comes back when the share answers.
  if (inFlight_) CancelIoEx(source_.Get(), nullptr);
}
