#include "bench/HalfwaySpeed.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t MiB = 1024 * 1024;

HalfwaySpeed::Task At(uint64_t offset, float speed, uint64_t size = 32 * MiB) {
  return {offset, size, speed};
}

}  // namespace

TEST(HalfwaySpeed, TurnsTheKernelUnitIntoBytesPerSecond) {
  // "Mbps" (factor 1024): 8 bits per ms x 1024 = 1 024 000 bytes per second.
  EXPECT_DOUBLE_EQ(HalfwaySpeed::BytesPerSecond(8.0f, 1024.0f), 1024000.0);
  // "Kbps" (factor 1): 1 bit per ms = 125 bytes per second.
  EXPECT_DOUBLE_EQ(HalfwaySpeed::BytesPerSecond(1.0f, 1.0f), 125.0);
}

TEST(HalfwaySpeed, WaitsUntilEveryTaskHasPassedHalfItsSize) {
  HalfwaySpeed h(1024.0f);
  EXPECT_FALSE(h.Add(0.5, {At(20 * MiB, 10), At(10 * MiB, 10)}));
  EXPECT_FALSE(h.Reached());
  EXPECT_EQ(h.KernelBytesPerSecond(), 0);
  // Exactly half counts; an empty list or a task of size 0 never does.
  EXPECT_FALSE(HalfwaySpeed(1.0f).Add(1.0, {}));
  EXPECT_FALSE(HalfwaySpeed(1.0f).Add(1.0, {At(0, 1, 0)}));
  EXPECT_TRUE(h.Add(1.0, {At(20 * MiB, 10), At(16 * MiB, 30)}));
  EXPECT_DOUBLE_EQ(h.HalfwaySeconds(), 1.0);
  EXPECT_DOUBLE_EQ(h.KernelBytesPerSecond(), HalfwaySpeed::BytesPerSecond(40, 1024.0f));
  EXPECT_DOUBLE_EQ(h.MeasuredBytesPerSecond(), 36.0 * MiB);
  // Later looks leave the halfway figures alone.
  EXPECT_TRUE(h.Add(2.0, {At(32 * MiB, 1), At(32 * MiB, 1)}));
  EXPECT_DOUBLE_EQ(h.HalfwaySeconds(), 1.0);
  EXPECT_DOUBLE_EQ(h.MeasuredBytesPerSecond(), 36.0 * MiB);
}

TEST(HalfwaySpeed, RecentRateCoversOnlyTheLastWindow) {
  // Slow at first, fast in the last 0.2 s: the whole-run rate hides the late speed.
  HalfwaySpeed h(1.0f, 0.2);
  h.Add(0.1, {At(1 * MiB, 0)});
  h.Add(0.8, {At(2 * MiB, 0)});
  h.Add(0.9, {At(8 * MiB, 0)});
  ASSERT_TRUE(h.Add(1.0, {At(16 * MiB, 0)}));
  EXPECT_DOUBLE_EQ(h.MeasuredBytesPerSecond(), 16.0 * MiB);
  EXPECT_NEAR(h.RecentBytesPerSecond(), 14.0 * MiB / 0.2, 1.0);

  // Quicker than the window: measured from the start.
  HalfwaySpeed quick(1.0f, 0.2);
  ASSERT_TRUE(quick.Add(0.05, {At(16 * MiB, 0)}));
  EXPECT_DOUBLE_EQ(quick.RecentBytesPerSecond(), 16.0 * MiB / 0.05);
}
