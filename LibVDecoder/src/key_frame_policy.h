// The key-frame policy: which decoded pictures may be published, and when to ask the sender for
// a key frame. A picture is published only when every frame it can depend on arrived, in order,
// since a recovery point, and decoded cleanly. No thread, no decoder: the caller passes the
// frames' facts, the decoder's verdicts and the clock in.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "frame_facts.h"

class KeyFramePolicy {
 public:
  enum class State {
    kWaiting,     // no recovery point since the last break: nothing new is published
    kRecovering,  // a recovery point arrived; its recovery picture has not come out yet
    kStreaming,   // every picture of a frame that arrived in order is published
  };
  // How a frame arrived, by its index against the last one that arrived in order.
  enum class Arrival {
    kInOrder,
    kAfterGap,              // an index was skipped: a break
    kAfterNonReferenceGap,  // only frames nothing references were skipped (H.264 frame_num)
    kSteppedBack,           // late or repeated: not decoded
    kNewRun,   // stepped back, but a key frame with its parameter sets: the sender restarted
    kNoSlice,  // parameter sets or SEI alone: carried to the next frame, no gap test
  };
  enum class Withheld { kWaiting, kLeading, kLate, kCorrupt };

  struct FrameVerdict {
    Arrival arrival = Arrival::kInOrder;
    bool decode = false;
    bool ask = false;  // ask the sender for a key frame now
  };
  struct PictureVerdict {
    bool publish = false;
    bool ask = false;
  };
  struct Stats {
    uint64_t published = 0;
    uint64_t withheld[4] = {};  // by Withheld
    uint64_t breaks = 0;
    std::vector<uint32_t> back_after_ms;  // from each break to the next recovery picture
  };

  static constexpr uint32_t kRequestIntervalMs = 300;

  // A frame the receiver handed over; `seq` tags it for the decoder, in arrival order.
  FrameVerdict OnFrame(int64_t seq, uint32_t index, const FrameFacts& facts, uint32_t now_ms);
  // The decoder rejected frame `seq` and closed: none of the pictures it held comes out.
  bool OnRejected(uint32_t now_ms);
  // The decoder saw damage in frame `seq` while decoding it.
  bool OnDamaged(int64_t seq, uint32_t now_ms);
  // The picture of frame `seq` came out; `corrupt` when the decoder concealed an error in it.
  PictureVerdict OnPicture(int64_t seq, bool corrupt, uint32_t now_ms);
  // Frame `seq` will give no picture (the caller stopped waiting for one).
  bool OnNoPicture(int64_t seq, uint32_t now_ms);
  // A new run of the channel: waiting, nothing held, the index chain forgotten.
  void Reset();

  State state() const { return state_; }
  Stats TakeStats();

 private:
  // A frame sent to the decoder whose picture has not come out.
  struct Pending {
    int64_t seq = 0;
    uint32_t index = 0;
    bool trusted = false;  // arrived while not waiting, and nothing since has broken it
    FrameFacts facts;
  };

  // Frames from `first_bad` on are not whole: the state falls back to the first recovery point
  // held after it, or to waiting.
  void Break(int64_t first_bad, uint32_t now_ms);
  // Starts recovering at the held frame `p` (a recovery point).
  void RecoverFrom(const Pending& p);
  bool AskIfDue(uint32_t now_ms);
  bool AskNow(uint32_t now_ms);
  std::optional<Pending> Take(int64_t seq);

  State state_ = State::kWaiting;
  std::optional<uint32_t> last_index_;
  std::optional<FrameFacts> last_decoded_;  // of the frame at last_index_
  std::deque<Pending> pending_;
  // While recovering: the recovery point's frame, and the frame whose picture ends recovering
  // (none yet while an intra refresh is under way: the one with `target_frame_num_`).
  int64_t chain_start_ = -1;
  std::optional<int64_t> recovery_seq_;
  std::optional<uint32_t> target_frame_num_;
  std::optional<uint32_t> last_request_ms_;
  std::optional<uint32_t> broken_since_ms_;
  Stats stats_;
};
