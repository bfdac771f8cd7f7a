#include "engine/ReadWindow.h"

#include <algorithm>
#include <atomic>

namespace {

std::atomic<uint64_t> g_budgetInUse{0};

}  // namespace

CReadWindow::CReadWindow(uint32_t chunkSize, uint64_t fileSize)
    : chunkSize_(chunkSize), fileSize_(fileSize) {}

CReadWindow::~CReadWindow() { g_budgetInUse -= reserved_; }

uint64_t CReadWindow::BudgetInUse() { return g_budgetInUse; }

bool CReadWindow::CountRead(uint64_t micros, uint64_t offset, uint32_t count, int room) {
  if (open_) return false;
  slowReads_ = micros > kSlowReadUs ? slowReads_ + 1 : 0;
  // Only a file with chunks still to come gains from a window.
  if (slowReads_ < kSlowReadsToOpen || room <= 0 || offset + count >= fileSize_) return false;
  open_ = true;
  writtenEnd_ = offset;
  nextOffset_ = offset + count;
  writeTimes_[0] = CChunkRead::NowMicros();
  writes_ = 1;
  return true;
}

int CReadWindow::ReserveLanes(int room) {
  if (!open_ || room <= 0) return 0;
  const uint64_t chunksLeft =
      (fileSize_ - std::min(fileSize_, nextOffset_) + chunkSize_ - 1) / chunkSize_;
  int wanted = static_cast<int>(std::min<uint64_t>(
      static_cast<uint64_t>(std::min(room, kMaxChunks - 1 - lanesReserved_)), chunksLeft));
  int granted = 0;
  uint64_t inUse = g_budgetInUse;
  while (granted < wanted) {
    const uint64_t want = inUse + static_cast<uint64_t>(wanted - granted) * chunkSize_;
    if (want <= kBudgetBytes && g_budgetInUse.compare_exchange_weak(inUse, want)) {
      granted = wanted;
      break;
    }
    if (want > kBudgetBytes) --wanted;  // fewer lanes, what is left of the budget
  }
  reserved_ += static_cast<uint64_t>(granted) * chunkSize_;
  lanesReserved_ += granted;
  return granted;
}

bool CReadWindow::HasLane(const ReadPtr& read) const {
  return std::find(lanes_.begin(), lanes_.end(), read) != lanes_.end();
}

std::vector<CReadWindow::ReadPtr> CReadWindow::TakeLanes() {
  std::vector<ReadPtr> lanes;
  lanes.swap(lanes_);
  for (auto& lane : lanes)
    if (lane->InFlight()) lane->Abandon();
  return lanes;
}

bool CReadWindow::TakeNext(uint64_t& offset) {
  if (!open_ || nextOffset_ >= fileSize_) return false;
  offset = nextOffset_;
  nextOffset_ += chunkSize_;
  return true;
}

uint64_t CReadWindow::Written(uint64_t offset, uint32_t count) {
  if (offset > writtenEnd_) {
    writtenAhead_[offset] = offset + count;
    return writtenEnd_;
  }
  writtenEnd_ = std::max(writtenEnd_, offset + count);
  // The chunks that waited for this one join the run.
  for (auto it = writtenAhead_.begin(); it != writtenAhead_.end() && it->first <= writtenEnd_;
       it = writtenAhead_.erase(it))
    writtenEnd_ = std::max(writtenEnd_, it->second);
  return writtenEnd_;
}

uint64_t CReadWindow::MicrosPerWrite() {
  const uint64_t now = CChunkRead::NowMicros();
  // The oldest time kept: the window's opening, or kMaxChunks writes ago.
  const uint64_t spans = std::min<uint64_t>(writes_, kMaxChunks);
  const uint64_t since = writeTimes_[(writes_ - spans) % kMaxChunks];
  writeTimes_[writes_++ % kMaxChunks] = now;
  return (now - since) / spans;
}
