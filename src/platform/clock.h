// The two clocks of the plug-in: a microsecond tick for message loops, and the millisecond
// "time since process start" that statistics and rate limits use.
#pragma once

#include <cstdint>

namespace platform {

// Monotonic microseconds (CLOCK_MONOTONIC); comparable with std::chrono::steady_clock.
int64_t NowMicros();

// A deadline on NowMicros for a limit in milliseconds (negative: none, which gives -1).
inline int64_t DeadlineAfterMs(int64_t timeout_ms) {
  return timeout_ms < 0 ? -1 : NowMicros() + timeout_ms * 1000;
}
// Whole milliseconds left until `deadline`, rounded up: -1 without one, 0 once it has passed.
inline int64_t MsUntil(int64_t deadline) {
  if (deadline < 0) return -1;
  const int64_t left_us = deadline - NowMicros();
  return left_us <= 0 ? 0 : (left_us + 999) / 1000;
}
inline bool DeadlinePassed(int64_t deadline) { return deadline >= 0 && NowMicros() >= deadline; }

// Milliseconds since the process started, wrapping at 2^32. Statistics and rate limits read it
// only through this function, so tests can replace it.
uint32_t ClockMs();

// Replaces the millisecond clock for the whole process; nullptr restores the real one.
using ClockMsFunction = uint32_t (*)();
void SetClockMsForTesting(ClockMsFunction fn);

}  // namespace platform
