#include "poller.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace pellion_tools {

namespace {
constexpr int64_t kSecondNs = 1'000'000'000;
}

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * kSecondNs + ts.tv_nsec;
}

Poller::Poller() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (!wake_.valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void Poller::Add(int fd) { entries_.push_back({fd, false}); }

void Poller::Remove(int fd) {
  std::erase_if(entries_, [fd](const Entry& e) { return e.fd == fd; });
}

void Poller::Mute(int fd, bool muted) {
  for (Entry& e : entries_)
    if (e.fd == fd) e.muted = muted;
}

void Poller::Wake() {
  uint64_t one = 1;
  ssize_t rc = write(wake_.get(), &one, sizeof one);  // fails only on counter overflow
  (void)rc;
}

Poller::Result Poller::Wait(int64_t deadline_ns) {
  std::vector<pollfd> fds;
  fds.push_back({wake_.get(), POLLIN, 0});
  for (const Entry& e : entries_)
    fds.push_back({e.fd, static_cast<short>(e.muted ? 0 : POLLIN), 0});
  for (;;) {
    timespec ts{};
    timespec* timeout = nullptr;
    if (deadline_ns != kNoDeadline) {
      int64_t left = std::max<int64_t>(0, deadline_ns - MonotonicNs());
      ts = {static_cast<time_t>(left / kSecondNs), static_cast<long>(left % kSecondNs)};
      timeout = &ts;
    }
    int rc = ppoll(fds.data(), fds.size(), timeout, nullptr);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) throw std::system_error(errno, std::generic_category(), "poll");
    break;
  }
  Result r;
  if (fds[0].revents != 0) {
    uint64_t count = 0;
    ssize_t n = read(wake_.get(), &count, sizeof count);  // one wake-up, one return
    (void)n;
    r.woken = true;
  }
  for (size_t i = 1; i < fds.size(); ++i)
    if (fds[i].revents != 0) r.ready.push_back(fds[i].fd);
  return r;
}

}  // namespace pellion_tools
