// Clocks on Win32: the performance counter for loop ticks, and milliseconds since the process
// started. That is what the C runtime's clock() means on Windows, but clock() follows the wall
// clock (it jumps when the time is set) and stops at 2^31 - 1 after 24.8 days; the system's
// tick count does neither.
#include <atomic>

#include "platform/clock.h"
#include "platform/win_util.h"

namespace platform {
namespace {

// The tick count when the process started: its creation time, as far back from now as the
// wall clock says.
ULONGLONG StartTick() {
  FILETIME created, exited, kernel, user, now;
  ULONGLONG tick = GetTickCount64();
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return tick;
  GetSystemTimeAsFileTime(&now);
  auto value = [](FILETIME t) { return (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  ULONGLONG age_ms = value(now) > value(created) ? (value(now) - value(created)) / 10000 : 0;
  return age_ms < tick ? tick - age_ms : 0;
}

uint32_t RealClockMs() {
  static const ULONGLONG start = StartTick();
  return static_cast<uint32_t>(GetTickCount64() - start);
}

std::atomic<ClockMsFunction> g_clock_ms{&RealClockMs};

}  // namespace

int64_t NowMicros() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  // Split so that the multiplication cannot overflow for any uptime.
  return now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency;
}

uint32_t ClockMs() { return g_clock_ms.load(std::memory_order_acquire)(); }

void SetClockMsForTesting(ClockMsFunction fn) {
  g_clock_ms.store(fn != nullptr ? fn : &RealClockMs, std::memory_order_release);
}

}  // namespace platform
