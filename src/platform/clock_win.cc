// Clocks on Win32: the performance counter for loop ticks, and the C runtime's clock(), which
// on Windows counts wall-clock milliseconds since the process started.
#include <atomic>
#include <ctime>

#include "platform/clock.h"
#include "platform/win_util.h"

namespace platform {
namespace {

uint32_t RealClockMs() { return static_cast<uint32_t>(std::clock()); }

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
