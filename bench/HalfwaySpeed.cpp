#include "bench/HalfwaySpeed.h"

HalfwaySpeed::HalfwaySpeed(float speedFactor, double recentSeconds)
    : speedFactor_(speedFactor), recentSeconds_(recentSeconds) {}

double HalfwaySpeed::BytesPerSecond(float speed, float speedFactor) {
  return static_cast<double>(speed) * static_cast<double>(speedFactor) * 1000.0 / 8.0;
}

bool HalfwaySpeed::Add(double seconds, const std::vector<Task>& tasks) {
  if (reached_) return true;
  uint64_t bytes = 0;
  bool allHalfway = !tasks.empty();
  double kernel = 0;
  for (const Task& t : tasks) {
    bytes += t.offset;
    // offset * 2 >= size: half of an odd size counts once its larger half is copied.
    if (t.offset * 2 < t.size || t.size == 0) allHalfway = false;
    kernel += BytesPerSecond(t.speed, speedFactor_);
  }
  looks_.push_back({seconds, bytes});
  if (!allHalfway || seconds <= 0) return false;

  reached_ = true;
  halfwaySeconds_ = seconds;
  kernelBytesPerSecond_ = kernel;
  measuredBytesPerSecond_ = static_cast<double>(bytes) / seconds;
  // The latest look at least `recentSeconds_` before this one; the start otherwise.
  Look from{0, 0};
  for (const Look& look : looks_)
    if (look.seconds <= seconds - recentSeconds_) from = look;
  double span = seconds - from.seconds;
  recentBytesPerSecond_ = span > 0 ? static_cast<double>(bytes - from.bytes) / span : 0;
  return true;
}
