// Monotonic clocks; the millisecond clock counts from the process's start, read from /proc.
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"

namespace platform {
namespace {

int64_t ReadClockMicros(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Start time of this process on CLOCK_BOOTTIME, in microseconds: field 22 of /proc/self/stat,
// in clock ticks since boot. Falls back to "now" when /proc is unreadable.
int64_t ProcessStartBoottimeMicros() {
  FILE* f = std::fopen("/proc/self/stat", "re");
  if (f == nullptr) return ReadClockMicros(CLOCK_BOOTTIME);
  char buf[1024] = {};
  size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
  std::fclose(f);
  buf[n] = '\0';
  // The command name may hold blanks and parentheses: fields restart after the last ')'.
  const char* p = std::strrchr(buf, ')');
  if (p == nullptr) return ReadClockMicros(CLOCK_BOOTTIME);
  unsigned long long start_ticks = 0;
  // After ')': state is field 3; starttime is field 22, i.e. the 20th after the state.
  int field = 2;
  for (const char* q = p + 1; *q != '\0'; ++q) {
    if (*q == ' ') {
      ++field;
      if (field == 22) {
        start_ticks = std::strtoull(q + 1, nullptr, 10);
        break;
      }
    }
  }
  long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) hz = 100;
  return static_cast<int64_t>(start_ticks) * 1000000 / hz;
}

uint32_t RealClockMs() {
  static const int64_t start_us = ProcessStartBoottimeMicros();
  return static_cast<uint32_t>((ReadClockMicros(CLOCK_BOOTTIME) - start_us) / 1000);
}

std::atomic<ClockMsFunction> g_clock_ms{&RealClockMs};

}  // namespace

int64_t NowMicros() { return ReadClockMicros(CLOCK_MONOTONIC); }

uint32_t ClockMs() { return g_clock_ms.load(std::memory_order_acquire)(); }

void SetClockMsForTesting(ClockMsFunction fn) {
  g_clock_ms.store(fn != nullptr ? fn : &RealClockMs, std::memory_order_release);
}

}  // namespace platform
