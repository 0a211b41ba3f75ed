// Garbage for the soak's receiver.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace soak {

// Datagrams no sender would make, at `per_second` to loopback `port`: random bytes of random
// length, so that all of the receiver's rejections are taken (too short, not video, bad length)
// and, now and then, one that parses as a packet of some unrelated frame.
class GarbageSender {
 public:
  GarbageSender(int port, int per_second);
  ~GarbageSender();
  GarbageSender(const GarbageSender&) = delete;
  GarbageSender& operator=(const GarbageSender&) = delete;
  // Datagrams the system took.
  uint64_t sent() const { return sent_; }

 private:
  void Run();

  const int port_, per_second_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sent_{0};
  std::thread thread_;
};

}  // namespace soak
