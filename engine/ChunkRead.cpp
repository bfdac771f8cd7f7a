#include "engine/ChunkRead.h"

CChunkRead::CChunkRead(base::UniqueFileHandle source, uint32_t chunkSize)
    : source_(std::move(source)),
      done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      chunkSize_(chunkSize),
      buffer_(std::make_unique<BYTE[]>(chunkSize)) {}

CChunkRead::~CChunkRead() = default;

void CChunkRead::Prepare(uint64_t offset) {
  control_ = OVERLAPPED{};
  control_.Offset = static_cast<DWORD>(offset);
  control_.OffsetHigh = static_cast<DWORD>(offset >> 32);
  control_.hEvent = done_.Get();
  ok = false;
  transferred = 0;
  error = 0;
  inFlight_ = true;
}

void CChunkRead::Run() {
  ULONGLONG start = GetTickCount64();
  DWORD n = 0;
  BOOL done = ReadFile(source_.Get(), buffer_.get(), chunkSize_, &n, &control_);
  if (done || GetLastError() == ERROR_IO_PENDING) {
    // Windows may answer pending; Wine has usually finished the read already.
    done = GetOverlappedResult(source_.Get(), &control_, &n, TRUE);
  }
  ok = done != FALSE;
  error = ok ? 0 : GetLastError();
  transferred = ok ? n : 0;
  durationMs = static_cast<uint32_t>(GetTickCount64() - start);
  inFlight_ = false;
}

void CChunkRead::Abandon() {
  abandoned_ = true;
  // Ends a read that Windows can cancel; under Wine the read runs inside ReadFile and
  // the pool thread simply comes back when the share answers.
  if (inFlight_) CancelIoEx(source_.Get(), &control_);
}
