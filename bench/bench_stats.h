#pragma once
// Small figures the benchmarks print: milliseconds and percentiles of a sample.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace velnaro::bench {

inline double Ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// p in [0, 1], interpolated between the two nearest samples; v must not be empty.
inline double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const double at = p * (v.size() - 1);
  const size_t lo = static_cast<size_t>(at);
  const size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (at - lo);
}

}  // namespace velnaro::bench
