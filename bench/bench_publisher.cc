#include "bench_publisher.h"

#include <chrono>

#include "bench_stats.h"

namespace bench {

bool CountingPublisher::WriteTo(uint32_t frame_index, uint32_t width, uint32_t height,
                                const std::vector<uint8_t>& picture) {
  return Count(real_->WriteTo(frame_index, width, height, picture));
}

bool CountingPublisher::Publish(uint32_t frame_index, uint32_t width, uint32_t height,
                                const Fill& fill) {
  return Count(real_->Publish(frame_index, width, height, fill));
}

bool CountingPublisher::Count(bool ok) {
  int64_t now = NowUs();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (count_ == 0) first_us_ = now;
    last_us_ = now;
    ++count_;
  }
  cv_.notify_all();
  return ok;
}

uint64_t CountingPublisher::WaitFor(uint64_t n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return count_ >= n; });
  return count_;
}

uint64_t CountingPublisher::count() {
  std::lock_guard<std::mutex> lock(mu_);
  return count_;
}

double CountingPublisher::Rate() {
  std::lock_guard<std::mutex> lock(mu_);
  return count_ > 1 && last_us_ > first_us_
             ? static_cast<double>(count_ - 1) * 1e6 / static_cast<double>(last_us_ - first_us_)
             : 0;
}

void CountingPublisher::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  count_ = 0;
}

}  // namespace bench
