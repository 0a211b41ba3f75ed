#include "trace.h"

#include <cinttypes>

#include "basics.h"

namespace pellion_send {

Trace::Trace(const std::string& path) : path_(path) {
  if (path.empty()) return;
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) throw RuntimeError(ErrnoText("cannot write " + path));
}

Trace::~Trace() {
  if (file_ != nullptr) std::fclose(file_);
}

uint64_t Trace::Begin(uint32_t frameidx, uint64_t au, bool key, size_t datagrams) {
  pending_.push_back({false, frameidx, au, key, datagrams, 0});
  return front_serial_ + pending_.size() - 1;
}

void Trace::Request(int64_t received_us) {
  pending_.push_back({true, 0, 0, false, 0, received_us});
  Drain();
}

void Trace::Done(uint64_t serial) {
  Entry& e = pending_[serial - front_serial_];
  e.us = NowNs() / 1000;
  --e.remaining;
  Drain();
}

void Trace::Flush() {
  if (file_ != nullptr) std::fflush(file_);
}

void Trace::Close() {
  if (file_ == nullptr) return;
  bool ok = std::ferror(file_) == 0;
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok) throw RuntimeError("cannot write the trace " + path_);
}

void Trace::Drain() {
  while (!pending_.empty() && pending_.front().remaining == 0) {
    const Entry& f = pending_.front();
    if (file_ != nullptr && f.request)
      std::fprintf(file_, "request %" PRId64 "\n", f.us);
    else if (file_ != nullptr)
      std::fprintf(file_, "%" PRIu32 " %" PRIu64 " %d %" PRId64 "\n", f.frameidx, f.au,
                   f.key ? 1 : 0, f.us);
    pending_.pop_front();
    ++front_serial_;
  }
}

}  // namespace pellion_send
