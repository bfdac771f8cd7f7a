#include "engine/SpeedCap.h"

#include <algorithm>

namespace {
// The longest single wait: a change of the cap is seen within this.
constexpr int64_t kSliceUs = 50000;
}  // namespace

CSpeedCap::CSpeedCap() : released_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  frequency_ = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
}

int64_t CSpeedCap::NowMicros() const {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<int64_t>(static_cast<long double>(now.QuadPart) * 1e6L /
                              static_cast<long double>(frequency_));
}

void CSpeedCap::SetMbps(uint32_t mbps) {
  std::lock_guard<std::mutex> guard(mutex_);
  // A new rate starts from now: what the old one had granted ahead is forgotten.
  if (mbps != mbps_) nextGrantUs_ = 0;
  mbps_ = mbps;
}

void CSpeedCap::Release() { SetEvent(released_.Get()); }
void CSpeedCap::Hold() { ResetEvent(released_.Get()); }

void CSpeedCap::Take(uint32_t bytes) {
  for (;;) {
    if (WaitForSingleObject(released_.Get(), 0) == WAIT_OBJECT_0) return;
    int64_t waitUs = 0;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      const uint32_t mbps = mbps_;
      if (mbps == 0) return;
      const int64_t now = NowMicros();
      if (nextGrantUs_ <= now) {
        // Granted: the next read may start once these bytes have had their time.
        nextGrantUs_ = now + static_cast<int64_t>(static_cast<uint64_t>(bytes) * 1000000u /
                                                  (mbps * kBytesPerMbps));
        return;
      }
      waitUs = std::min(nextGrantUs_ - now, kSliceUs);
    }
    WaitForSingleObject(released_.Get(), static_cast<DWORD>((waitUs + 999) / 1000));
  }
}
