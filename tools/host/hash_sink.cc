#include "hash_sink.h"

#include <chrono>

namespace pellion_tools {
namespace {

int64_t MonotonicUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

bool HashSink::Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) {
  if (out_ && std::fprintf(out_.get(), "picture %lld %u %ux%u %016llx\n",
                           static_cast<long long>(MonotonicUs()), h.frame_index, h.width, h.height,
                           static_cast<unsigned long long>(Fnv1a(nv12))) > 0)
    return true;
  SayCannotWrite(tool_, path_);
  out_.Close();
  return false;
}

void HashSink::Restarting() {
  if (out_) std::fprintf(out_.get(), "restart %lld\n", static_cast<long long>(MonotonicUs()));
}

bool HashSink::Finish() {
  if (out_.Close()) return true;
  SayCannotWrite(tool_, path_);
  return false;
}

}  // namespace pellion_tools
