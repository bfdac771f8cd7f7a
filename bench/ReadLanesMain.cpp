// read_lanes: how to keep several chunk reads of one file in flight. Reads the whole
// file in 256 KiB chunks with N threads in one of three ways and prints the MB/s and
// the mean time per read:
//   handles     a handle per thread, each read at its file pointer (a seek, then a read)
//   positioned  one handle for all, each read carrying its own offset
//   overlapped  one overlapped handle for all, each read carrying its own offset
//
//   read_lanes MODE THREADS FILE [ROUNDS]
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueHandle.h"
#include "base/Win.h"
#include "bench/Stopwatch.h"

namespace {

constexpr DWORD kChunk = 262144;

HANDLE OpenSource(const std::wstring& path, bool overlapped) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool ReadAt(HANDLE file, const std::wstring& mode, uint64_t offset, BYTE* buffer, HANDLE event) {
  DWORD n = 0;
  if (mode == L"handles") {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) &&
           ReadFile(file, buffer, kChunk, &n, nullptr);
  }
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  o.hEvent = event;
  if (ReadFile(file, buffer, kChunk, &n, &o)) return true;
  return GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(file, &o, &n, TRUE);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: read_lanes handles|positioned|overlapped THREADS FILE [ROUNDS]\n");
    return 2;
  }
  const std::wstring mode = argv[1];
  const int threads = std::max(1, _wtoi(argv[2]));
  const std::wstring path = argv[3];
  const int rounds = argc > 4 ? std::max(1, _wtoi(argv[4])) : 1;
  const bool overlapped = mode == L"overlapped";
  for (int round = 0; round < rounds; ++round) {
    base::UniqueFileHandle shared(OpenSource(path, overlapped));
    if (!shared) {
      std::fprintf(stderr, "read_lanes: cannot open the file (%lu)\n", GetLastError());
      return 1;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(shared.Get(), &size);
    const uint64_t chunks = (static_cast<uint64_t>(size.QuadPart) + kChunk - 1) / kChunk;
    std::atomic<uint64_t> next{0}, micros{0}, reads{0};
    std::atomic<bool> failed{false};
    Stopwatch clock;
    std::vector<std::thread> lanes;
    for (int t = 0; t < threads; ++t)
      lanes.emplace_back([&] {
        base::UniqueFileHandle own;
        HANDLE file = shared.Get();
        if (mode == L"handles") {
          own.Reset(OpenSource(path, false));
          file = own.Get();
        }
        base::UniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        auto buffer = std::make_unique<BYTE[]>(kChunk);
        for (uint64_t k; (k = next++) < chunks;) {
          Stopwatch one;
          if (!ReadAt(file, mode, k * kChunk, buffer.get(), event.Get())) failed = true;
          micros += static_cast<uint64_t>(one.Seconds() * 1e6);
          ++reads;
        }
      });
    for (auto& lane : lanes) lane.join();
    const double seconds = clock.Seconds();
    std::printf("%ls threads=%d MBps=%.1f seconds=%.3f read_ms=%.2f%s\n", mode.c_str(), threads,
                static_cast<double>(size.QuadPart) / seconds / 1e6, seconds,
                reads ? static_cast<double>(micros) / reads / 1000.0 : 0.0,
                failed ? " FAILED" : "");
  }
  return 0;
}
