#include "bench/Samples.h"

#include <algorithm>
#include <cmath>

std::vector<double> Samples::Sorted() const {
  std::vector<double> sorted = values_;
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

double Samples::Median() const {
  if (values_.empty()) return 0;
  std::vector<double> sorted = Sorted();
  size_t middle = sorted.size() / 2;
  if (sorted.size() % 2) return sorted[middle];
  return (sorted[middle - 1] + sorted[middle]) / 2;
}

double Samples::Min() const {
  return values_.empty() ? 0 : *std::min_element(values_.begin(), values_.end());
}

double Samples::Max() const {
  return values_.empty() ? 0 : *std::max_element(values_.begin(), values_.end());
}

double Samples::Percentile(double fraction) const {
  if (values_.empty()) return 0;
  std::vector<double> sorted = Sorted();
  fraction = std::clamp(fraction, 0.0, 1.0);
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[rank == 0 ? 0 : rank - 1];
}

double Samples::RelativeSpread() const {
  double median = Median();
  return median == 0 ? 0 : (Max() - Min()) / median;
}
