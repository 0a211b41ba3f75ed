// Shared by the fuzz targets: quiet logs and the splitting of one input into records.
#pragma once

#include <glog/logging.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace pellion_fuzz {

// Every rejected input logs an error; writing them all would cost more than the code under test.
inline void QuietLogs() {
  FLAGS_minloglevel = google::GLOG_FATAL;
  FLAGS_stderrthreshold = google::GLOG_FATAL;
}

// The one harness of a run, with quiet logs. Never destroyed: a thread it started must not
// outlive it at exit.
template <class Harness>
Harness& Persistent() {
  static Harness* h = [] {
    QuietLogs();
    return new Harness;
  }();
  return *h;
}

// A check that failed: abort, so that libFuzzer keeps the input as a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
#define FUZZ_CHECK(cond)                      \
  do {                                        \
    if (!(cond)) ::pellion_fuzz::Fail(#cond); \
  } while (0)

// Reads records of the form [length: 2 bytes, big-endian][bytes]; a record cut short by the
// end of the input keeps what is there, so every input means something.
class Records {
 public:
  Records(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool done() const { return p_ >= end_; }
  uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
  std::string_view Next() {
    size_t n = static_cast<size_t>(Byte()) << 8;
    n |= Byte();
    n = std::min(n, static_cast<size_t>(end_ - p_));
    std::string_view out(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return out;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace pellion_fuzz
