// Waits for input on a set of descriptors, for a wake-up from another thread, or for a deadline,
// whichever comes first: the loop of a tool's I/O thread.
#pragma once

#include <cstdint>
#include <vector>

#include "unique_fd.h"

namespace pellion_tools {

class Poller {
 public:
  static constexpr int64_t kNoDeadline = INT64_MAX;

  // Throws std::system_error when the wake-up descriptor cannot be made.
  Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // Descriptors to wait on; a muted one stays in the set but is not waited on.
  void Add(int fd);
  void Remove(int fd);
  void Mute(int fd, bool muted);

  // From any thread: the current or next Wait() returns at once, woken.
  void Wake();

  struct Result {
    bool woken = false;
    std::vector<int> ready;  // readable, closed or failed; empty on the deadline
  };
  // Until input, a wake-up or `deadline_ns` (CLOCK_MONOTONIC). A signal does not end the wait.
  // Throws std::system_error when polling fails.
  Result Wait(int64_t deadline_ns = kNoDeadline);

 private:
  struct Entry {
    int fd;
    bool muted;
  };
  UniqueFd wake_;
  std::vector<Entry> entries_;
};

// CLOCK_MONOTONIC in nanoseconds.
int64_t MonotonicNs();

}  // namespace pellion_tools
