// VFrameBuffer: rebuilds encoded frames from stream packets. A frame is handed out once,
// exactly as the sender cut it: its slices 0..final placed by packet index, with no slice
// missing. Lost packets make a frame incomplete; it is then never handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "StreamPacketHeader.h"

class VFrameBuffer {
 public:
  static constexpr size_t kMaxFrames = 10;
  static constexpr size_t kMaxFrameBytes = 16u << 20;

  // One video packet: its parsed header and its payload (packlen - 8 bytes). True when this
  // packet completed a frame, which GetFrame then hands out. Delivery thread only.
  bool insert(const StreamPacketHeader& header, const uint8_t* payload, size_t size);
  // The frame completed by the last insert that returned true (moved out: it is handed out
  // once); empty when there is none.
  void GetFrame(std::string& out);
  uint32_t completed_index() const { return completed_index_; }
  // When the first datagram of that frame arrived (platform::NowMicros).
  int64_t completed_first_us() const { return completed_first_us_; }

  size_t held_frames() const { return frames_.size(); }

 private:
  struct Frame {
    std::map<uint16_t, std::string> slices;
    size_t bytes = 0;
    int32_t final_index = -1;  // pkgindx of the final packet, once seen
    uint64_t touched = 0;      // for least-recently-touched eviction
    bool emitted = false;
    bool dropped = false;  // over the size cap: ignored until restarted
    size_t first_slice_hash = 0;
    int64_t first_us = 0;  // its first datagram's arrival
  };

  Frame& Start(uint32_t index);
  void EvictOneExcept(uint32_t keep);
  void LogRate();

  std::map<uint32_t, Frame> frames_;
  uint64_t clock_ = 0;
  bool has_complete_ = false;
  uint32_t completed_index_ = 0;
  int64_t completed_first_us_ = 0;
  std::string complete_;
  int64_t last_tick_ = 0;
  uint64_t packs_ = 0;
};
