// The read window's bookkeeping: when it opens, which chunks it hands out, where the
// copied run ends as chunks come back out of order, and the buffer budget all tasks
// share.
#include "engine/ReadWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t kChunk = 1000;
constexpr uint64_t kSlow = CReadWindow::kSlowReadUs + 1, kFast = CReadWindow::kSlowReadUs / 10;

TEST(ReadWindow, OpensOnlyAfterSlowReadsInARowWithChunksStillToCome) {
  struct Case {
    const char* what;
    std::vector<uint64_t> readMicros;
    uint64_t fileSize;
    int room;  // lanes that fit beside other tasks' reads
    bool opens;
  } cases[] = {
      {"fast reads: a local file", {kFast, kFast, kFast, kFast, kFast}, 100 * kChunk, 7, false},
      {"one late read among fast ones",
       {kSlow, kFast, kSlow, kSlow, kFast},
       100 * kChunk,
       7,
       false},
      {"slow reads in a row", {kFast, kSlow, kSlow, kSlow}, 100 * kChunk, 7, true},
      {"slow, but its last chunk is in", {kSlow, kSlow, kSlow}, 3 * kChunk, 7, false},
      {"slow, but other tasks' reads fill the link",
       {kSlow, kSlow, kSlow, kSlow},
       100 * kChunk,
       0,
       false},
  };
  for (const Case& c : cases) {
    CReadWindow window(kChunk, c.fileSize);
    bool opened = false;
    uint64_t offset = 0;
    for (uint64_t micros : c.readMicros) {
      opened = window.CountRead(micros, offset, kChunk, c.room);
      if (opened) break;
      offset += kChunk;
    }
    EXPECT_EQ(opened, c.opens) << c.what;
    EXPECT_EQ(window.IsOpen(), c.opens) << c.what;
    if (!opened) continue;
    // The chunk that opened it is the first of the run; the lanes take the next ones.
    uint64_t next = 0;
    ASSERT_TRUE(window.TakeNext(next));
    EXPECT_EQ(next, offset + kChunk) << c.what;
    EXPECT_EQ(window.WrittenEnd(), offset) << c.what;
  }
}

TEST(ReadWindow, TheCopiedRunEndsAtTheFirstChunkStillMissing) {
  // A file of 7.5 chunks with the window open from the start; chunks written in this
  // order, and the run's end after each, in chunks (8: the whole file).
  struct Case {
    const char* what;
    std::vector<uint64_t> written;
    std::vector<uint64_t> runEnds;
  } cases[] = {
      {"in order", {0, 1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"first chunk last", {1, 2, 3, 0, 4, 5, 6, 7}, {0, 0, 0, 4, 5, 6, 7, 8}},
      {"holes in the middle", {0, 2, 3, 5, 1, 4, 7, 6}, {1, 1, 1, 1, 4, 6, 6, 8}},
  };
  const uint64_t size = 7 * kChunk + kChunk / 2;
  for (const Case& c : cases) {
    CReadWindow window(kChunk, size);
    for (int i = 0; i < CReadWindow::kSlowReadsToOpen - 1; ++i)
      window.CountRead(kSlow, 0, kChunk, 7);
    ASSERT_TRUE(window.CountRead(kSlow, 0, kChunk, 7));
    std::vector<uint64_t> handedOut{0};
    for (uint64_t offset; window.TakeNext(offset);) handedOut.push_back(offset / kChunk);
    EXPECT_EQ(handedOut, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7})) << c.what;
    for (size_t i = 0; i < c.written.size(); ++i) {
      const uint64_t chunk = c.written[i];
      EXPECT_FALSE(window.AllWritten()) << c.what << ", step " << i;
      const uint64_t end = window.Written(chunk * kChunk, chunk == 7 ? kChunk / 2 : kChunk);
      EXPECT_EQ(end, std::min<uint64_t>(c.runEnds[i] * kChunk, size)) << c.what << ", step " << i;
    }
    EXPECT_TRUE(window.AllWritten()) << c.what;
  }
}

TEST(ReadWindow, LanesShareOneBudgetAndGiveItBackWhenTheWindowCloses) {
  const uint32_t chunk = 4u << 20;  // 16 such lanes fill the 64 MiB
  const uint64_t inUseBefore = CReadWindow::BudgetInUse();
  auto opened = [&] {
    auto window = std::make_unique<CReadWindow>(chunk, 1000ull * chunk);
    for (int i = 0; i < CReadWindow::kSlowReadsToOpen; ++i)
      window->CountRead(kSlow, 0, chunk, CReadWindow::kMaxChunks - 1);
    return window;
  };
  auto first = opened(), second = opened(), third = opened();
  EXPECT_EQ(first->ReserveLanes(CReadWindow::kMaxChunks - 1), CReadWindow::kMaxChunks - 1);
  EXPECT_EQ(first->ReserveLanes(CReadWindow::kMaxChunks - 1), 0);  // it has all it may have
  EXPECT_EQ(second->ReserveLanes(CReadWindow::kMaxChunks - 1), CReadWindow::kMaxChunks - 1);
  // What is left of the budget: 64 MiB less 14 lanes of 4 MiB.
  const int left = static_cast<int>((CReadWindow::kBudgetBytes - inUseBefore) / chunk) -
                   2 * (CReadWindow::kMaxChunks - 1);
  EXPECT_EQ(third->ReserveLanes(CReadWindow::kMaxChunks - 1), left);
  first.reset();
  EXPECT_EQ(third->ReserveLanes(1), 1);  // no more than there is room for beside other reads
  EXPECT_EQ(third->ReserveLanes(CReadWindow::kMaxChunks - 1), CReadWindow::kMaxChunks - 2 - left);
  second.reset();
  third.reset();
  EXPECT_EQ(CReadWindow::BudgetInUse(), inUseBefore);
}

}  // namespace
