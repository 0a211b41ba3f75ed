#include "stage_latency.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr const char* kNames[StageLatency::kStages] = {"receive", "queue",   "decode", "handoff",
                                                       "convert", "publish", "total"};

// Clocks of different threads may disagree by a little: a negative stage counts as 0.
uint32_t Clamp(int64_t us) { return static_cast<uint32_t>(std::clamp<int64_t>(us, 0, UINT32_MAX)); }

}  // namespace

void StageLatency::Add(const std::array<int64_t, kStages>& us) {
  const size_t slot = count_ % kWindow;
  for (size_t s = 0; s < kStages; ++s) {
    samples_[s][slot] = Clamp(us[s]);
    max_[s] = std::max(max_[s], samples_[s][slot]);
  }
  ++count_;
}

std::string StageLatency::TakeLine() {
  const size_t n = std::min(count_, kWindow);
  std::string line = "stage latency ms p50/p99/max over " + std::to_string(count_) + " pictures:";
  for (size_t s = 0; s < kStages && n > 0; ++s) {
    auto begin = samples_[s].begin(), end = begin + static_cast<std::ptrdiff_t>(n);
    // Nearest rank, as the benchmarks count it.
    auto at = [&](size_t percent) {
      const size_t rank = std::max<size_t>(1, (n * percent + 99) / 100);
      std::nth_element(begin, begin + static_cast<std::ptrdiff_t>(rank - 1), end);
      return *(begin + static_cast<std::ptrdiff_t>(rank - 1));
    };
    const uint32_t p50 = at(50), p99 = at(99);
    char part[96];
    std::snprintf(part, sizeof part, " %s %.2f/%.2f/%.2f", kNames[s], p50 / 1000.0, p99 / 1000.0,
                  max_[s] / 1000.0);
    line += part;
  }
  count_ = 0;
  max_.fill(0);
  return line;
}
