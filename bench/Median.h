// The benches' one summary of repeated timings.
#pragma once

#include <algorithm>
#include <vector>

// The middle value of `v` (the mean of the two middle ones for an even count); `v` is not empty.
inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}
