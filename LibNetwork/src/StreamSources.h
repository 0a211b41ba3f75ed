// StreamSources: which sender's frames go on. The port is open to anyone, and the wire format
// names no sender, so reassembly is kept per source (address and port) and the frames of one
// source only, the current one, are handed on.
//
// States: no source, or one current source.
//  - no source --a source qualifies--> current
//  - current --it completes a frame--> current
//  - current --another source qualifies after the current one completed nothing for
//    kTakeOverAfterMs--> current (the other source)
// A source qualifies with a frame that looks like a stream start (parameter sets, a key slice
// or a recovery-point SEI). While no source is current, kVideoInARow frames in a row of
// consecutive indices that look like video qualify too: a sender joined mid-stream must reach
// the decoder, which then asks it for a key frame. Other sources' packets go to small buffers
// of their own and can never touch a frame of the current source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "VFrameBuffer.h"

// What a complete frame's NAL headers say about it, for either codec.
enum class FrameLook { kJunk, kVideo, kStreamStart };
FrameLook LookOf(std::string_view frame);

class StreamSources {
 public:
  static constexpr size_t kMaxOtherSources = 4;
  static constexpr uint32_t kTakeOverAfterMs = 500;
  static constexpr int kVideoInARow = 2;

  struct Source {
    Source(std::string ip, int port) : ip(std::move(ip)), port(port) {}
    std::string Name() const { return ip + ":" + std::to_string(port); }

    const std::string ip;
    const int port;
    VFrameBuffer buffer{VFrameBuffer::kOtherBudget};
    uint32_t last_heard_ms = 0;
    uint32_t last_complete_ms = 0;
    uint32_t next_index = 0;  // after the last frame that looked like video
    int video_in_a_row = 0;
  };

  enum class Verdict {
    kHandOn,         // the current source's frame
    kBecameCurrent,  // the first source to qualify: its frame goes on
    kTookOver,       // another source qualified after the current one fell silent
    kWithheld,       // another source's frame
  };

  // The source of a datagram, made on its first one. With the table full, the other source
  // heard longest ago makes way; the current one never does.
  Source& Of(const std::string& ip, int port, uint32_t now_ms);
  // `source` completed `frame`: whether it goes on.
  Verdict OnComplete(Source& source, uint32_t index, std::string_view frame, uint32_t now_ms);
  // No source, nothing held.
  void Reset();

  const Source* current() const { return current_; }
  size_t size() const { return sources_.size(); }
  // The source that was current before the last take-over (for the log line); may be null.
  const std::string& previous_name() const { return previous_name_; }

 private:
  bool Qualifies(Source& source, uint32_t index, std::string_view frame);
  void MakeCurrent(Source& source);

  std::vector<std::unique_ptr<Source>> sources_;
  Source* current_ = nullptr;
  Source* last_ = nullptr;  // the last datagram's, looked at first
  std::string previous_name_;
};
