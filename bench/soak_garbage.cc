#include "soak_garbage.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <vector>

#include "bench_stats.h"

namespace soak {

GarbageSender::GarbageSender(int port, int per_second)
    : port_(port), per_second_(per_second), thread_([this] { Run(); }) {}

GarbageSender::~GarbageSender() {
  stop_ = true;
  thread_.join();
}

void GarbageSender::Run() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port_));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::mt19937 rng(7);
  std::vector<uint8_t> d(1400);
  const int batch = std::max(1, per_second_ / 100);
  int64_t next = bench::NowUs();
  while (!stop_) {
    for (int i = 0; i < batch; ++i) {
      size_t n = rng() % d.size();
      for (size_t j = 0; j < n; ++j) d[j] = static_cast<uint8_t>(rng());
      if (sendto(fd, d.data(), n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0) ++sent_;
    }
    next += 10000;
    int64_t wait = next - bench::NowUs();
    if (wait > 0) usleep(static_cast<useconds_t>(wait));  // pacing, not synchronisation
  }
  close(fd);
}

}  // namespace soak
