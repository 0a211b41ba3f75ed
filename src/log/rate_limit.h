// Bounds the cost of a log line that a flood of bad input could repeat: a few lines per
// 3-second window, then one line with the number suppressed.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace NORV::sLog {

class LogRateLimit {
 public:
  explicit LogRateLimit(uint32_t per_window = 5, uint32_t window_ms = 3000)
      : per_window_(per_window), window_ms_(window_ms) {}

  // True when this occurrence may be logged. When a new window starts, *suppressed receives the
  // number of occurrences the previous window swallowed (to be logged once), else 0.
  // One thread at a time.
  bool Allow(uint32_t* suppressed) {
    uint32_t now = platform::ClockMs();
    *suppressed = 0;
    if (!started_ || now - window_start_ >= window_ms_) {
      *suppressed = dropped_;
      started_ = true;
      window_start_ = now;
      in_window_ = 0;
      dropped_ = 0;
    }
    if (in_window_ < per_window_) {
      ++in_window_;
      return true;
    }
    ++dropped_;
    return false;
  }

 private:
  uint32_t per_window_;
  uint32_t window_ms_;
  bool started_ = false;
  uint32_t window_start_ = 0;
  uint32_t in_window_ = 0;
  uint32_t dropped_ = 0;
};

}  // namespace NORV::sLog
