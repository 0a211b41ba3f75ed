// The decoder thread's figures, logged every 3 s beside the publisher's stage latency: decode
// time per frame, and what the key-frame policy published and withheld.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "key_frame_policy.h"

// When a frame reached each stage, in platform::NowMicros.
struct FrameClock {
  int64_t first_datagram = 0;
  int64_t complete = 0;
  int64_t task_start = 0;
  int64_t sent = 0;
};

class DecodeReport {
 public:
  static constexpr uint32_t kIntervalMs = 3000;

  void AddDecode(uint32_t ms) {
    decode_sum_ms_ += ms;
    decode_count_ += 1;
  }
  // True once every interval; the first call starts the clock.
  bool Due(uint32_t now_ms);
  // "N(ms/df)", then the window starts again.
  std::string TakeDecodeLine();

 private:
  std::optional<uint32_t> clock_ms_;
  uint32_t decode_sum_ms_ = 0;
  uint32_t decode_count_ = 0;
};

// "pictures 87 published, withheld: waiting 0 leading 2 late 0 corrupt 0; breaks 1, back after
// p50/max 140/140 ms"
std::string PolicyLine(const KeyFramePolicy::Stats& stats);
