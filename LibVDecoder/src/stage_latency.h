// Where the time of each published picture went, stage by stage, as p50/p99/max over a window.
// Fixed storage: adding a picture neither allocates nor locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class StageLatency {
 public:
  enum Stage { kReceive, kQueue, kDecode, kHandoff, kConvert, kPublish, kTotal, kStages };
  // The newest samples kept per stage; max covers every picture of the window.
  static constexpr size_t kWindow = 1024;

  // One published picture's stages, in microseconds.
  void Add(const std::array<int64_t, kStages>& us);
  size_t count() const { return count_; }
  // "stage latency ms p50/p99/max over N pictures: receive a/b/c queue ..." for the window so
  // far; then starts a new window.
  std::string TakeLine();

 private:
  std::array<std::array<uint32_t, kWindow>, kStages> samples_{};
  std::array<uint32_t, kStages> max_{};
  size_t count_ = 0;
};
