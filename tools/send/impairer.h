// Seeded loss, duplication and reordering of datagrams, for exercising receivers.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <vector>

namespace pellion_send {

struct ImpairOptions {
  double loss = 0, dup = 0, reorder = 0;
  uint32_t burst = 1;
  uint64_t seed = 1;
};

struct Datagram {
  std::vector<uint8_t> bytes;
  uint64_t frame_serial = 0;
};

// Drops, duplicates and holds back datagrams. Each impairment draws from a generator of its
// own, so a given seed loses the same datagrams whatever else is switched on.
class Impairer {
 public:
  using Send = std::function<void(const std::vector<uint8_t>&)>;
  using Done = std::function<void(uint64_t frame_serial)>;  // sent or dropped, for the trace

  Impairer(const ImpairOptions& o, Send send, Done done);

  void Push(Datagram d);
  // Sends whatever is still held back, in order.
  void Flush();

  uint64_t dropped() const { return dropped_; }
  uint64_t duplicated() const { return duplicated_; }
  uint64_t reordered() const { return reordered_; }

 private:
  struct Held {
    Datagram d;
    int wait;  // later datagrams to let pass first
    bool dup;
  };

  bool Lost();
  void Transmit(const Datagram& d, bool dup);
  void ReleaseHeld();

  ImpairOptions o_;
  std::mt19937_64 loss_rng_, dup_rng_, reorder_rng_;
  Send send_;
  Done done_;
  std::deque<Held> held_;
  uint32_t burst_left_ = 0;
  uint64_t dropped_ = 0, duplicated_ = 0, reordered_ = 0;
};

}  // namespace pellion_send
