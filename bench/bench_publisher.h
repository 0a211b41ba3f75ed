// A publisher between the decoder thread and the real section that counts and times what goes
// out.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "ShareMemVFrame.h"

namespace bench {

// Publishes through the real section and notes when each picture's event was set.
class CountingPublisher : public FramePublisher {
 public:
  explicit CountingPublisher(FramePublisher* real) : real_(real) {}
  bool WriteTo(uint32_t frame_index, uint32_t width, uint32_t height,
               const std::vector<uint8_t>& picture) override;
  bool Publish(uint32_t frame_index, uint32_t width, uint32_t height, const Fill& fill) override;
  // Waits until `n` pictures are out or `timeout_ms` passed; the count then.
  uint64_t WaitFor(uint64_t n, int timeout_ms);
  uint64_t count();
  // Pictures per second from the first picture to the last.
  double Rate();
  void Reset();

 private:
  bool Count(bool ok);

  FramePublisher* real_;
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t count_ = 0;
  int64_t first_us_ = 0, last_us_ = 0;
};

}  // namespace bench
