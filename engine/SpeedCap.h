// The user's cap on the speed of all copies together. Every chunk read first takes its
// bytes here; reads are let through one after another, each when the ones before it
// have had their time at the cap, so no span of time sees more than the cap allows
// plus one chunk. Time not used (no copy wanted the bandwidth) is not saved up: a copy
// that starts after a quiet spell does not burst past the cap.
//
// Any thread may call it. A thread waits only while the cap is on, and at most a
// slice at a time, so a cap lifted or changed takes effect at once and Release (the
// kernel stopping) lets every waiting thread go.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/UniqueHandle.h"
#include "base/Win.h"

class CSpeedCap {
 public:
  // The window's "Mbps": 1,024,000 bits per second.
  static constexpr uint64_t kBytesPerMbps = 128000;

  CSpeedCap();
  CSpeedCap(const CSpeedCap&) = delete;
  CSpeedCap& operator=(const CSpeedCap&) = delete;

  // 0: no cap.
  void SetMbps(uint32_t mbps);
  uint32_t Mbps() const { return mbps_; }
  bool On() const { return mbps_ != 0; }

  // Waits until `bytes` may be read under the cap, or the cap is released.
  void Take(uint32_t bytes);

  // Lets every waiting and later Take go at once, until Hold.
  void Release();
  void Hold();

 private:
  int64_t NowMicros() const;

  std::atomic<uint32_t> mbps_{0};
  std::mutex mutex_;
  int64_t nextGrantUs_ = 0;  // the earliest time the next read may start
  int64_t frequency_ = 1;
  base::UniqueKernelHandle released_;
};
