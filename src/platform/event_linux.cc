// Unnamed events on eventfd: readable while set; an auto-reset wait reads the counter to zero.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/event.h"

namespace platform {

Event::Event(bool manual_reset, bool initially_set) : manual_reset_(manual_reset) {
  fd_ = eventfd(initially_set ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

bool Event::Set() {
  if (fd_ < 0) return false;
  uint64_t one = 1;
  for (;;) {
    if (write(fd_, &one, sizeof(one)) == sizeof(one)) return true;
    if (errno == EINTR) continue;
    // EAGAIN: the counter is at its maximum, so the event is set already.
    return errno == EAGAIN;
  }
}

bool Event::Reset() {
  if (fd_ < 0) return false;
  uint64_t value = 0;
  while (read(fd_, &value, sizeof(value)) < 0 && errno == EINTR) {
  }
  return true;
}

bool Event::TryConsume() {
  if (manual_reset_) return true;
  uint64_t value = 0;
  for (;;) {
    if (read(fd_, &value, sizeof(value)) == sizeof(value)) return true;
    if (errno == EINTR) continue;
    return false;
  }
}

uint32_t Event::Wait(int64_t timeout_ms) {
  if (fd_ < 0) return kWaitFailed;
  const int64_t deadline = timeout_ms < 0 ? -1 : NowMicros() + timeout_ms * 1000;
  for (;;) {
    int wait_ms = -1;
    if (deadline >= 0) {
      int64_t left_us = deadline - NowMicros();
      if (left_us < 0) left_us = 0;
      wait_ms = static_cast<int>((left_us + 999) / 1000);
    }
    pollfd p{fd_, POLLIN, 0};
    int r = poll(&p, 1, wait_ms);
    if (r < 0 && errno != EINTR) return kWaitFailed;
    if (r > 0 && (p.revents & POLLIN) != 0) {
      // Another waiter of an auto-reset event may have taken the signal: wait again.
      if (TryConsume()) return kWaitObject0;
      continue;
    }
    if (r == 0 && deadline >= 0 && NowMicros() >= deadline) return kWaitTimeout;
  }
}

}  // namespace platform
