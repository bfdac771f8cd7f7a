// Wall-clock timing with the performance counter.
#pragma once

#include "base/Win.h"

class Stopwatch {
 public:
  Stopwatch() { Restart(); }

  void Restart() { QueryPerformanceCounter(&start_); }

  double Seconds() const {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start_.QuadPart) /
           static_cast<double>(frequency.QuadPart);
  }

 private:
  LARGE_INTEGER start_;
};
