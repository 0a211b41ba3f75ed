// One line per frame, written in frame order once all of the frame's datagrams have left
// (held-back ones included), so the time is when the receiver could have it complete. A
// request line goes before the first frame chosen after the request came in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

namespace pellion_send {

class Trace {
 public:
  // No file for an empty path: the calls still keep the books.
  explicit Trace(const std::string& path);
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Returns the serial that Done() takes once per datagram.
  uint64_t Begin(uint32_t frameidx, uint64_t au, bool key, size_t datagrams);
  void Request(int64_t received_us);
  void Done(uint64_t serial);
  void Flush();
  // Throws when anything written was lost.
  void Close();

 private:
  struct Entry {
    bool request;
    uint32_t frameidx;
    uint64_t au;
    bool key;
    size_t remaining;
    int64_t us;
  };
  void Drain();

  std::string path_;
  std::FILE* file_ = nullptr;
  std::deque<Entry> pending_;
  uint64_t front_serial_ = 0;
};

}  // namespace pellion_send
