#include "bench/FileSet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"

namespace {

constexpr DWORD kBlock = 1 << 20;

base::UniqueFileHandle OpenForReading(const std::string& path) {
  return base::UniqueFileHandle(CreateFileW(base::WidePath(path).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// Reads up to `size` bytes; false on an error. `got` < `size` only at the end.
bool ReadBlock(HANDLE file, char* data, DWORD size, DWORD& got) {
  got = 0;
  while (got < size) {
    DWORD n = 0;
    if (!ReadFile(file, data + got, size - got, &n, nullptr)) return false;
    if (n == 0) break;
    got += n;
  }
  return true;
}

uint64_t SizeOf(HANDLE file) {
  LARGE_INTEGER size{};
  return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : UINT64_MAX;
}

}  // namespace

FileSet::FileSet(std::string label, int count, uint64_t size)
    : label_(std::move(label)), count_(count), size_(size) {}

std::string FileSet::FileName(const std::string& path) {
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FileSet::Create(const std::string& folder) {
  sources_.clear();
  auto block = std::make_unique<char[]>(kBlock);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < count_; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "file%03d.bin", i);
    std::string path = folder + "\\" + name;
    base::UniqueFileHandle file(CreateFileW(base::WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    for (uint64_t done = 0; done < size_;) {
      DWORD n = static_cast<DWORD>(std::min<uint64_t>(kBlock, size_ - done));
      // xorshift64: fast, and different bytes in every file and block.
      for (DWORD k = 0; k + 8 <= n; k += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(block.get() + k, &state, 8);
      }
      DWORD written = 0;
      if (!WriteFile(file.Get(), block.get(), n, &written, nullptr) || written != n) return false;
      done += n;
    }
    sources_.push_back(path);
  }
  return true;
}

std::vector<std::string> FileSet::Destinations(const std::string& folder) const {
  std::vector<std::string> out;
  for (const std::string& source : sources_) out.push_back(folder + "\\" + FileName(source));
  return out;
}

std::string FileSet::Verify(const std::string& folder, bool compareBytes) const {
  std::vector<std::string> destinations = Destinations(folder);
  auto a = std::make_unique<char[]>(kBlock), b = std::make_unique<char[]>(kBlock);
  for (size_t i = 0; i < sources_.size(); ++i) {
    base::UniqueFileHandle source = OpenForReading(sources_[i]);
    base::UniqueFileHandle copy = OpenForReading(destinations[i]);
    if (!source || !copy) return "cannot open " + (source ? destinations[i] : sources_[i]);
    if (SizeOf(source.Get()) != SizeOf(copy.Get())) return "size differs: " + destinations[i];
    if (!compareBytes) continue;
    for (;;) {
      DWORD gotA = 0, gotB = 0;
      if (!ReadBlock(source.Get(), a.get(), kBlock, gotA) ||
          !ReadBlock(copy.Get(), b.get(), kBlock, gotB))
        return "read failed: " + destinations[i];
      if (gotA != gotB || std::memcmp(a.get(), b.get(), gotA) != 0)
        return "bytes differ: " + destinations[i];
      if (gotA < kBlock) break;
    }
  }
  return {};
}
