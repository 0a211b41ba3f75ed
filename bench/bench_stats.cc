#include "bench_stats.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bench {

int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100 * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

double MedianOfRuns(const std::vector<double>& runs) {
  if (runs.empty() || *std::min_element(runs.begin(), runs.end()) <= 0) return -1;
  return Median(runs);
}

std::vector<double> After(const std::vector<double>& v, size_t warm_up) {
  std::vector<double> out;
  for (size_t i = warm_up; i < v.size(); ++i)
    if (v[i] >= 0) out.push_back(v[i]);
  return out;
}

void Line(const std::string& name, double value, const char* unit, double baseline) {
  std::printf("%s %.3f %s %.3f %.3f\n", name.c_str(), value, unit, baseline,
              baseline != 0 ? value / baseline : 0.0);
  std::fflush(stdout);
}

}  // namespace bench
