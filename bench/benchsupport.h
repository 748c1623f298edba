#pragma once
// Small measuring helpers shared by the benchmarks.
#include <algorithm>
#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

// The value below which the fraction p of the samples lie (nearest rank).
inline double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t i = std::min(samples.size() - 1, static_cast<size_t>(p * (samples.size() - 1) + 0.5));
  return samples[i];
}

// This process's resident set in kB, from /proc/self/status.
inline long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
    status.ignore(4096, '\n');
  }
  return -1;
}
