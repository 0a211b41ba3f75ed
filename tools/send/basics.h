// What every part of pellion-send shares: its two kinds of failure, the clock and the limits of
// a stream packet.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "StreamPacketHeader.h"
#include "common/poller.h"

namespace pellion_send {

constexpr size_t kMaxPayload = StreamPacketHeader::kMaxPackLen - StreamPacketHeader::kSize;
constexpr size_t kMaxPacketsPerFrame = 65536;  // pkgindx is 16 bits
constexpr int64_t kSecondNs = 1'000'000'000;

// Ends the run with exit code 1.
struct RuntimeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Ends the run with exit code 2: the options ask for what cannot be done.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

inline int64_t NowNs() { return pellion_tools::MonotonicNs(); }

}  // namespace pellion_send
