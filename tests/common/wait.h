// Waiting on a condition with a deadline: tests never sleep to make something pass.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testing_util {

// Polls `pred` until it holds or `timeout` passes; returns its last value.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Threads of this process, from /proc/self/task.
int CountThreads();

// Elapsed milliseconds of a steady clock since `start`.
inline int64_t MillisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace testing_util
