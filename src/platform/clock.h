// The two clocks of the plug-in: a microsecond tick for message loops, and the millisecond
// "time since process start" that statistics and rate limits use.
#pragma once

#include <cstdint>

namespace platform {

// Monotonic microseconds (CLOCK_MONOTONIC); comparable with std::chrono::steady_clock.
int64_t NowMicros();

// Milliseconds since the process started, wrapping at 2^32. Statistics and rate limits read it
// only through this function, so tests can replace it.
uint32_t ClockMs();

// Replaces the millisecond clock for the whole process; nullptr restores the real one.
using ClockMsFunction = uint32_t (*)();
void SetClockMsForTesting(ClockMsFunction fn);

}  // namespace platform
