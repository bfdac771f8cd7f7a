// Repeated measurements of one quantity, summarised robustly: the median, and the
// spread as the range of the values around it.
#pragma once

#include <cstddef>
#include <vector>

class Samples {
 public:
  void Add(double value) { values_.push_back(value); }
  // Pools another set of measurements with these.
  void Add(const Samples& other) {
    values_.insert(values_.end(), other.values_.begin(), other.values_.end());
  }
  size_t Count() const { return values_.size(); }
  bool Empty() const { return values_.empty(); }

  // All of these are 0 for no samples.
  double Median() const;
  double Min() const;
  double Max() const;
  // The value below which `fraction` (0..1) of the samples lie, nearest rank.
  double Percentile(double fraction) const;
  // (max - min) / median: how far apart the rounds were, relative to the median.
  double RelativeSpread() const;

 private:
  std::vector<double> Sorted() const;
  std::vector<double> values_;
};
