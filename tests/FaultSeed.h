// Seeds for the randomised fault cases: a fresh one each run, or TOLVA_FAULT_SEED to
// replay a run that failed. The seed is printed and attached to every failure.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

#include "base/Win.h"

namespace faulttest {

class Seeded {
 public:
  explicit Seeded(const char* what)
      : seed_(Choose()),
        trace_(__FILE__, __LINE__,
               std::string(what) + ": seed " + std::to_string(seed_) +
                   " (replay with TOLVA_FAULT_SEED=" + std::to_string(seed_) + ")"),
        rng(seed_) {
    std::cout << "[ seed     ] " << what << ": " << seed_ << std::endl;
    ::testing::Test::RecordProperty(what, std::to_string(seed_));
  }

  uint32_t Seed() const { return seed_; }
  // A whole number in [lo, hi].
  size_t Between(size_t lo, size_t hi) {
    return std::uniform_int_distribution<size_t>(lo, hi)(rng);
  }
  bool OneIn(size_t n) { return Between(1, n) == 1; }
  char Byte() { return static_cast<char>(Between(0, 255)); }

 private:
  static uint32_t Choose() {
    if (const char* text = std::getenv("TOLVA_FAULT_SEED"); text && *text)
      return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<uint32_t>(now.QuadPart ^ (now.QuadPart >> 32) ^ GetCurrentProcessId());
  }

  uint32_t seed_;
  ::testing::ScopedTrace trace_;

 public:
  std::mt19937 rng;
};

}  // namespace faulttest
