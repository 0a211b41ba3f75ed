// A point on the message loops' monotonic microsecond clock.
#pragma once

#include <cstdint>

#include "platform/clock.h"

class TimeTicks {
 public:
  constexpr TimeTicks() = default;
  constexpr explicit TimeTicks(int64_t us) : us_(us) {}
  static TimeTicks Now() { return TimeTicks(platform::NowMicros()); }

  constexpr bool is_null() const { return us_ == 0; }
  constexpr int64_t ToMicros() const { return us_; }
  constexpr TimeTicks PlusMillis(int64_t ms) const { return TimeTicks(us_ + ms * 1000); }

  friend constexpr bool operator==(TimeTicks a, TimeTicks b) { return a.us_ == b.us_; }
  friend constexpr auto operator<=>(TimeTicks a, TimeTicks b) { return a.us_ <=> b.us_; }

 private:
  int64_t us_ = 0;
};
