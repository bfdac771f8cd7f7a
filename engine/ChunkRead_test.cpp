// The read slot: chunks read in turn and out of order land whole in its buffer, and a
// small file costs no full chunk.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/ChunkRead.h"
#include "engine/testing/EngineTesting.h"

using namespace enginetest;
using namespace tolvatest;

namespace {

base::UniqueFileHandle OpenForReading(const std::string& path) {
  return base::UniqueFileHandle(CreateFileW(base::WidePath(path).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

TEST(ChunkRead, ReadsEachChunkWhereToldAndSmallFilesGetSmallBuffers) {
  TempFolder dir;
  constexpr uint32_t kChunk = 4096;
  std::vector<char> bytes = WriteRandomFile(dir.File("s.bin"), 3 * kChunk - 100, 7);

  CChunkRead read(OpenForReading(dir.File("s.bin")), kChunk, bytes.size());
  ASSERT_TRUE(read.Source() != INVALID_HANDLE_VALUE && read.Source() != nullptr);
  EXPECT_EQ(read.ReadSize(), kChunk);
  for (uint64_t offset = 0; offset < bytes.size(); offset += kChunk) {
    read.Prepare(offset);
    read.Run();
    ASSERT_TRUE(read.LastResult().ok) << offset;
    EXPECT_EQ(read.Offset(), offset);
    uint32_t expected = static_cast<uint32_t>(std::min<uint64_t>(kChunk, bytes.size() - offset));
    ASSERT_EQ(read.LastResult().transferred, expected);
    EXPECT_EQ(std::memcmp(read.Buffer(), bytes.data() + offset, expected), 0) << offset;
  }
  // A read out of order (a task that resumes elsewhere) still reads where it is told.
  read.Prepare(kChunk);
  read.Run();
  ASSERT_TRUE(read.LastResult().ok);
  EXPECT_EQ(std::memcmp(read.Buffer(), bytes.data() + kChunk, kChunk), 0);

  std::vector<char> small = WriteRandomFile(dir.File("small.bin"), 300, 8);
  CChunkRead smallRead(OpenForReading(dir.File("small.bin")), kChunk, small.size());
  EXPECT_EQ(smallRead.ReadSize(), 300u);
  smallRead.Prepare(0);
  smallRead.Run();
  ASSERT_TRUE(smallRead.LastResult().ok);
  EXPECT_EQ(smallRead.LastResult().transferred, 300u);
  EXPECT_EQ(std::memcmp(smallRead.Buffer(), small.data(), 300), 0);

  // An empty file still gets a read that finds its end.
  WriteRandomFile(dir.File("empty.bin"), 0, 9);
  CChunkRead emptyRead(OpenForReading(dir.File("empty.bin")), kChunk, 0);
  emptyRead.Prepare(0);
  emptyRead.Run();
  EXPECT_EQ(emptyRead.LastResult().transferred, 0u);
}
