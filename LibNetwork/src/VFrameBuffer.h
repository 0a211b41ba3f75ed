// VFrameBuffer: rebuilds the encoded frames of one sender from its stream packets. A frame is
// handed out once, exactly as the sender cut it: its slices 0..final placed by packet index,
// with no slice missing and none from another run of the same index. Lost packets make a frame
// incomplete; it is then never handed out.
//
// Each frame is in one state, and each packet moves its frame by one transition:
//
//   absent --Started--> filling --Filled/Joined--> filling --Completed--> emitted
//                                                         \--Duplicated--> emitted (not handed out)
//   filling --Conflicted/Overflowed--> dropped
//   any held state --Restarted--> filling (a new run: nothing of the old one stays)
//   any held state --(evicted to make room)--> absent
//
// A packet that changes nothing (the same bytes again, a later packet of an emitted or dropped
// frame) is Repeated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "StreamPacketHeader.h"

class VFrameBuffer {
 public:
  // What the buffer may hold: frames in reassembly (emitted and dropped ones count, they hold
  // no bytes) and their bytes together.
  struct Budget {
    size_t frames;
    size_t bytes;
  };
  // The sender being shown, and any other source.
  static constexpr Budget kCurrentBudget{10, 64u << 20};
  static constexpr Budget kOtherBudget{4, 8u << 20};
  // No frame is larger, whatever the budget.
  static constexpr size_t kMaxFrameBytes = 16u << 20;
  // Frames remembered, by index, length and hash, to tell a true duplicate.
  static constexpr size_t kDuplicateWindow = 64;
  // A frame that this many later frames have started past without a packet of its own belongs
  // to an older run of its index: a packet for it begins it anew.
  static constexpr uint64_t kStaleAfterStarts = 2;

  enum class FrameState { kFilling, kEmitted, kDropped };
  enum class Transition {
    kStarted,     // absent -> filling
    kFilled,      // filling -> filling: a slice not held before
    kJoined,      // filling -> filling: a reordered packet 0 joins the slices already here
    kRestarted,   // -> filling: packet 0 again, a packet for an emitted or dropped frame's new
                  // run, or a packet for a stale frame; the old run is gone
    kCompleted,   // filling -> emitted: handed out
    kDuplicated,  // filling -> emitted: byte-identical to a frame handed out under this index
    kRepeated,    // no change
    kConflicted,  // filling -> dropped: a slice with other bytes, a second end, one past the end
    kOverflowed,  // filling -> dropped: larger than the budget allows
    kZero,        // filling -> emitted: complete, but index 0 means "no frame" to senders
  };

  explicit VFrameBuffer(Budget budget = kCurrentBudget) : budget_(budget) {}

  // One video packet: its parsed header and its payload (packlen - 8 bytes). True when this
  // packet completed a frame, which GetFrame then hands out. One thread.
  bool insert(const StreamPacketHeader& header, const uint8_t* payload, size_t size);
  // What the last insert did to its frame.
  Transition last_transition() const { return last_; }
  // The frame completed by the last insert that returned true (moved out: it is handed out
  // once); empty when there is none.
  void GetFrame(std::string& out);
  uint32_t completed_index() const { return completed_index_; }
  // When the first datagram of that frame arrived (platform::NowMicros).
  int64_t completed_first_us() const { return completed_first_us_; }

  // Moves to another budget, evicting what lies beyond it.
  void set_budget(Budget budget);
  size_t held_frames() const { return frames_.size(); }
  size_t held_bytes() const { return held_bytes_; }
  uint64_t evicted() const { return evicted_; }
  uint64_t duplicates() const { return duplicates_; }

 private:
  struct Frame {
    FrameState state = FrameState::kFilling;
    std::map<uint16_t, std::string> slices;
    size_t bytes = 0;
    int32_t final_index = -1;     // pkgindx of the final packet, once seen
    uint64_t touched = 0;         // packet count at its last packet, for eviction
    uint64_t touched_starts = 0;  // frames started by then, for staleness
    int64_t first_us = 0;         // its first datagram's arrival
  };
  struct Emitted {
    uint32_t index = 0;
    size_t size = 0;
    size_t hash = 0;
  };

  Transition Apply(uint32_t idx, const StreamPacketHeader& header, const uint8_t* payload,
                   size_t size);
  Frame& Begin(uint32_t idx, Frame* existing);
  void Clear(Frame& f);
  // Evicts frames other than `keep` (-1: none) until `frames` and `bytes` more fit.
  void MakeRoom(int64_t keep, size_t frames, size_t bytes);
  Transition Drop(Frame& f, Transition why);
  Transition Complete(uint32_t idx, Frame& f);

  Budget budget_;
  std::map<uint32_t, Frame> frames_;
  size_t held_bytes_ = 0;
  uint64_t packets_ = 0;
  uint64_t starts_ = 0;
  uint64_t evicted_ = 0;
  uint64_t duplicates_ = 0;
  std::array<Emitted, kDuplicateWindow> emitted_{};
  size_t emitted_next_ = 0;
  Transition last_ = Transition::kRepeated;
  bool has_complete_ = false;
  uint32_t completed_index_ = 0;
  int64_t completed_first_us_ = 0;
  std::string complete_;
};
