// What the kernel says its tasks' speeds are, against what a watcher outside measures,
// at the first moment every task has copied half its file: the kernel's speed figures
// (what the window shows) should add up to the bytes that really arrive per second.
#pragma once

#include <cstdint>
#include <vector>

class HalfwaySpeed {
 public:
  struct Task {
    uint64_t offset = 0;  // bytes copied so far
    uint64_t size = 0;
    float speed = 0;  // in the kernel's unit
  };

  // `speedFactor` is the kernel's GetSpeedFactor(); `recentSeconds` the window of the
  // second outside measurement, the one that ends at the halfway moment.
  explicit HalfwaySpeed(float speedFactor, double recentSeconds = 0.2);

  // One look at every task, `seconds` after the copy started. True from the first look
  // on which every task has passed half its size; later looks change nothing.
  bool Add(double seconds, const std::vector<Task>& tasks);
  bool Reached() const { return reached_; }

  // All 0 until Reached().
  double HalfwaySeconds() const { return halfwaySeconds_; }
  // The tasks' speeds at that moment, summed, in bytes per second.
  double KernelBytesPerSecond() const { return kernelBytesPerSecond_; }
  // Bytes copied by that moment over the time since the start.
  double MeasuredBytesPerSecond() const { return measuredBytesPerSecond_; }
  // Bytes copied over the last `recentSeconds` before that moment (or since the start,
  // when the copy was quicker), over that time.
  double RecentBytesPerSecond() const { return recentBytesPerSecond_; }

  // A speed in the kernel's unit (bits per millisecond x factor) as bytes per second.
  static double BytesPerSecond(float speed, float speedFactor);

 private:
  struct Look {
    double seconds;
    uint64_t bytes;
  };
  float speedFactor_;
  double recentSeconds_;
  std::vector<Look> looks_;
  bool reached_ = false;
  double halfwaySeconds_ = 0;
  double kernelBytesPerSecond_ = 0;
  double measuredBytesPerSecond_ = 0;
  double recentBytesPerSecond_ = 0;
};
