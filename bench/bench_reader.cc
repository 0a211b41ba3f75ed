#include "bench_reader.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "bench_stats.h"

namespace bench {

void UnlinkOwnNames() {
  shm_unlink((std::string("/") + kSectionName).c_str());
  sem_unlink((std::string("/") + kEventName).c_str());
}

Reader::Reader() {
  if (!reader_.Open(kSectionName, kEventName)) return;
  while (reader_.Wait(0)) {
  }
  thread_ = std::thread([this] { Loop(); });
}

Reader::~Reader() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::map<uint32_t, int64_t> Reader::Woken() {
  std::lock_guard<std::mutex> lock(mu_);
  return woken_;
}

void Reader::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  woken_.clear();
}

void Reader::Loop() {
  pellion::FrameHeader h;
  std::vector<uint8_t> picture;
  while (!stop_) {
    if (!reader_.Wait(50)) continue;
    const int64_t now = NowUs();
    if (!reader_.Read(&h, &picture)) continue;
    std::lock_guard<std::mutex> lock(mu_);
    woken_.try_emplace(h.frame_index, now);
  }
}

}  // namespace bench
