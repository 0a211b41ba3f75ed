// The key-frame policy's transitions.
#include "key_frame_policy.h"

#include <algorithm>
#include <utility>

#include "log/log.h"
#include "log/rate_limit.h"

namespace {

bool RecoveryPoint(const FrameFacts& f) { return f.recovery != RecoveryKind::kNone; }

// Whether `now`, decoded after `last` with frames lost between them, shows by its frame_num that
// none of the lost frames was a reference frame. A lost frame of parameter sets alone, or an
// MMCO 5 in `last`, would not show.
bool OnlyNonReferenceLost(const std::optional<FrameFacts>& last, const FrameFacts& now) {
  if (!last || !last->frame_num || !now.frame_num || !now.frame_num_counts_references ||
      now.max_frame_num == 0 || now.max_frame_num != last->max_frame_num ||
      now.recovery == RecoveryKind::kIdr)
    return false;
  return *now.frame_num == (*last->frame_num + (last->reference ? 1 : 0)) % now.max_frame_num;
}

}  // namespace

KeyFramePolicy::FrameVerdict KeyFramePolicy::OnFrame(int64_t seq, uint32_t index,
                                                     const FrameFacts& facts, uint32_t now_ms) {
  FrameVerdict v;
  const std::optional<int32_t> step =
      last_index_ ? std::optional<int32_t>(static_cast<int32_t>(index - *last_index_))
                  : std::nullopt;
  if (!facts.has_slice) {
    // Fills its index, so that the frame after it is in order; a gap in front stays a gap.
    if (step && *step <= 0) {
      v.arrival = Arrival::kSteppedBack;
    } else {
      v.arrival = Arrival::kNoSlice;
      if (!step || *step == 1) last_index_ = index;
    }
    return v;
  }
  if (step && *step <= 0) {
    if (!(facts.key() && facts.parameter_sets)) {
      // Never decoded: what follows was decoded without it, and a repeat changes nothing.
      v.arrival = Arrival::kSteppedBack;
      ++stats_.withheld[static_cast<int>(Withheld::kLate)];
      return v;
    }
    v.arrival = Arrival::kNewRun;
  } else if (step && *step >= 2) {
    v.arrival = state_ != State::kWaiting && OnlyNonReferenceLost(last_decoded_, facts)
                    ? Arrival::kAfterNonReferenceGap
                    : Arrival::kAfterGap;
  }
  if (v.arrival == Arrival::kAfterGap || v.arrival == Arrival::kNewRun) {
    if (v.arrival == Arrival::kAfterGap && state_ != State::kWaiting) {
      LOGI_LIMITED << "request i frame,drop frame,last frame=" << *last_index_
                   << " frameidx=" << index;
      v.ask = AskNow(now_ms);
    }
    Break(seq, now_ms);
  }
  last_index_ = index;
  last_decoded_ = facts;
  v.decode = true;
  Pending p{seq, index, false, facts};
  if (state_ == State::kWaiting && RecoveryPoint(facts)) {
    LOGI << "recv i frame, frameidx=" << index;
    RecoverFrom(p);
  } else if (state_ == State::kRecovering && !recovery_seq_ && target_frame_num_ &&
             facts.frame_num == target_frame_num_) {
    recovery_seq_ = seq;
  }
  p.trusted = state_ != State::kWaiting;
  if (state_ == State::kWaiting) v.ask = AskIfDue(now_ms) || v.ask;
  pending_.push_back(p);
  return v;
}

void KeyFramePolicy::RecoverFrom(const Pending& p) {
  state_ = State::kRecovering;
  chain_start_ = p.seq;
  recovery_seq_.reset();
  target_frame_num_.reset();
  if (p.facts.recovery == RecoveryKind::kRefresh && p.facts.max_frame_num > 0) {
    target_frame_num_ = (*p.facts.frame_num + p.facts.recovery_frames) % p.facts.max_frame_num;
    if (target_frame_num_ == p.facts.frame_num) recovery_seq_ = p.seq;
  } else {
    recovery_seq_ = p.seq;
  }
}

void KeyFramePolicy::Break(int64_t first_bad, uint32_t now_ms) {
  if (!broken_since_ms_) {
    broken_since_ms_ = now_ms;
    ++stats_.breaks;
  }
  // A recovery point decoded after the damage is a way back of its own.
  auto restart = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) {
    return p.seq > first_bad && p.trusted && RecoveryPoint(p.facts);
  });
  // A recovery that had not finished may have leading pictures still to come out.
  const int64_t from = state_ == State::kRecovering ? std::min(first_bad, chain_start_) : first_bad;
  for (Pending& p : pending_) {
    if (p.seq >= from && (restart == pending_.end() || p.seq < restart->seq)) p.trusted = false;
  }
  if (restart == pending_.end()) {
    state_ = State::kWaiting;
    recovery_seq_.reset();
    target_frame_num_.reset();
    return;
  }
  RecoverFrom(*restart);
  // An intra refresh whose recovery picture was already decoded.
  if (!recovery_seq_ && target_frame_num_) {
    for (const Pending& p : pending_)
      if (p.seq > restart->seq && p.facts.frame_num == target_frame_num_) {
        recovery_seq_ = p.seq;
        break;
      }
  }
}

bool KeyFramePolicy::OnRejected(uint32_t now_ms) {
  pending_.clear();
  Break(INT64_MIN, now_ms);
  return AskIfDue(now_ms);
}

bool KeyFramePolicy::OnDamaged(int64_t seq, uint32_t now_ms) {
  Break(seq, now_ms);
  return AskIfDue(now_ms);
}

KeyFramePolicy::PictureVerdict KeyFramePolicy::OnPicture(int64_t seq, bool corrupt,
                                                         uint32_t now_ms) {
  PictureVerdict v;
  std::optional<Pending> taken = Take(seq);
  if (!taken) return v;  // decoded before a reset
  const Pending& p = *taken;
  auto withhold = [&](Withheld why) {
    ++stats_.withheld[static_cast<int>(why)];
    return v;
  };
  if (corrupt) {
    // What was decoded after it may reference it: as if it had failed to decode.
    LOGW_LIMITED << "corrupt picture, frameidx=" << p.index;
    Break(seq, now_ms);
    v.ask = AskIfDue(now_ms);
    return withhold(Withheld::kCorrupt);
  }
  if (!p.trusted) return withhold(Withheld::kWaiting);
  // Pictures of frames before the recovery point were whole when they were decoded.
  if (state_ == State::kRecovering && seq >= chain_start_) {
    if (!recovery_seq_ || seq != *recovery_seq_) return withhold(Withheld::kLeading);
    state_ = State::kStreaming;
    if (broken_since_ms_) stats_.back_after_ms.push_back(now_ms - *broken_since_ms_);
    broken_since_ms_.reset();
  }
  ++stats_.published;
  v.publish = true;
  return v;
}

bool KeyFramePolicy::OnNoPicture(int64_t seq, uint32_t now_ms) {
  std::optional<Pending> taken = Take(seq);
  if (!taken) return false;
  const Pending& p = *taken;
  if (state_ != State::kRecovering || !recovery_seq_ || seq != *recovery_seq_) return false;
  LOGW_LIMITED << "no picture of key frame " << p.index;
  Break(seq, now_ms);
  return AskIfDue(now_ms);
}

void KeyFramePolicy::Reset() {
  state_ = State::kWaiting;
  last_index_.reset();
  last_decoded_.reset();
  pending_.clear();
  recovery_seq_.reset();
  target_frame_num_.reset();
  broken_since_ms_.reset();
}

KeyFramePolicy::Stats KeyFramePolicy::TakeStats() { return std::exchange(stats_, Stats()); }

bool KeyFramePolicy::AskIfDue(uint32_t now_ms) {
  if (last_request_ms_ && now_ms - *last_request_ms_ <= kRequestIntervalMs) return false;
  return AskNow(now_ms);
}

bool KeyFramePolicy::AskNow(uint32_t now_ms) {
  last_request_ms_ = now_ms;
  return true;
}

std::optional<KeyFramePolicy::Pending> KeyFramePolicy::Take(int64_t seq) {
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const Pending& p) { return p.seq == seq; });
  if (it == pending_.end()) return std::nullopt;
  Pending p = *it;
  pending_.erase(it);
  return p;
}
