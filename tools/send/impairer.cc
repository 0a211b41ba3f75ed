#include "impairer.h"

namespace pellion_send {

namespace {

// Held back datagrams wait for later ones to pass; when nearly all are held (--reorder 1), the
// oldest goes out at this depth, so that the stream still flows and memory stays bounded.
constexpr size_t kMaxHeld = 64;

std::mt19937_64 Seed(uint64_t seed, uint64_t stream) {
  std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                    static_cast<uint32_t>(stream)};
  return std::mt19937_64(seq);
}

// Own mapping to [0,1): the standard distributions may differ between libraries.
bool Chance(std::mt19937_64& rng, double p) {
  if (p <= 0) return false;
  return static_cast<double>(rng() >> 11) * 0x1.0p-53 < p;
}

}  // namespace

Impairer::Impairer(const ImpairOptions& o, Send send, Done done)
    : o_(o),
      loss_rng_(Seed(o.seed, 1)),
      dup_rng_(Seed(o.seed, 2)),
      reorder_rng_(Seed(o.seed, 3)),
      send_(std::move(send)),
      done_(std::move(done)) {}

void Impairer::Push(Datagram d) {
  if (Lost()) {
    ++dropped_;
    done_(d.frame_serial);
    return;
  }
  const bool dup = Chance(dup_rng_, o_.dup);
  if (Chance(reorder_rng_, o_.reorder)) {
    int wait = 1 + static_cast<int>(reorder_rng_() % 3);
    held_.push_back({std::move(d), wait, dup});
    if (held_.size() > kMaxHeld) {
      ++reordered_;
      Transmit(held_.front().d, held_.front().dup);
      held_.pop_front();
    }
    return;
  }
  Transmit(d, dup);
  ReleaseHeld();
}

void Impairer::ReleaseHeld() {
  for (auto it = held_.begin(); it != held_.end();) {
    if (--it->wait == 0) {
      ++reordered_;
      Transmit(it->d, it->dup);
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
}

void Impairer::Flush() {
  for (Held& h : held_) Transmit(h.d, h.dup);
  held_.clear();
}

bool Impairer::Lost() {
  if (burst_left_ > 0) {
    --burst_left_;
    return true;
  }
  if (!Chance(loss_rng_, o_.loss)) return false;
  burst_left_ = o_.burst - 1;
  return true;
}

void Impairer::Transmit(const Datagram& d, bool dup) {
  send_(d.bytes);
  if (dup) {
    send_(d.bytes);
    ++duplicated_;
  }
  done_(d.frame_serial);
}

}  // namespace pellion_send
