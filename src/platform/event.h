// Unnamed kernel events on eventfd, so that one poll can wait on an event and a pidfd together.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr int64_t kInfinite = -1;

class Event {
 public:
  // Auto-reset: a successful Wait consumes the signal, so one Set wakes one waiter.
  // Manual-reset: stays set until Reset.
  Event(bool manual_reset, bool initially_set);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool valid() const { return fd_ >= 0; }
  // Any thread.
  bool Set();
  bool Reset();
  // Any thread. Returns kWaitObject0 when signalled, kWaitTimeout after timeout_ms
  // (kInfinite waits without limit), kWaitFailed when the event is unusable.
  uint32_t Wait(int64_t timeout_ms);
  // The descriptor becomes readable while the event is set (for poll with other descriptors).
  int fd() const { return fd_; }
  // Consumes the signal of an auto-reset event after poll said it is readable; false when
  // another waiter took it first.
  bool TryConsume();

 private:
  int fd_ = -1;
  bool manual_reset_;
};

}  // namespace platform
