// Frame reassembly: per-frame states, a budget in frames and bytes, and true duplicates.
#include "VFrameBuffer.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "log/rate_limit.h"
#include "platform/clock.h"

namespace {

std::string_view View(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace

bool VFrameBuffer::insert(const StreamPacketHeader& header, const uint8_t* payload, size_t size) {
  has_complete_ = false;
  ++packets_;
  last_ = Apply(header.frameidx, header, payload, size);
  return has_complete_;
}

VFrameBuffer::Transition VFrameBuffer::Apply(uint32_t idx, const StreamPacketHeader& header,
                                             const uint8_t* payload, size_t size) {
  const uint16_t pk = header.pkgindx;
  auto it = frames_.find(idx);
  Frame* f = nullptr;
  Transition step = Transition::kFilled;
  if (it == frames_.end()) {
    f = &Begin(idx, nullptr);
    step = Transition::kStarted;
  } else {
    f = &it->second;
    const bool stale =
        f->state == FrameState::kFilling && starts_ - f->touched_starts >= kStaleAfterStarts;
    if (pk == 0) {
      auto first = f->slices.find(0);
      if (f->state != FrameState::kFilling || first != f->slices.end() || stale) {
        // The same first slice again is the same packet, not a new run.
        if (!stale && first != f->slices.end() && first->second == View(payload, size))
          return Transition::kRepeated;
        Begin(idx, f);
        step = Transition::kRestarted;
      } else {
        step = Transition::kJoined;
      }
    } else if (f->state != FrameState::kFilling) {
      // Emitted or dropped: only a packet 0 begins another run of this index.
      return Transition::kRepeated;
    } else if (stale) {
      Begin(idx, f);
      step = Transition::kRestarted;
    }
  }
  f->touched = packets_;
  f->touched_starts = starts_;

  if (header.is_final) {
    const bool beyond = !f->slices.empty() && f->slices.rbegin()->first > pk;
    if ((f->final_index >= 0 && f->final_index != pk) || beyond)
      return Drop(*f, Transition::kConflicted);
    f->final_index = pk;
  } else if (f->final_index >= 0 && pk >= f->final_index) {
    return Drop(*f, Transition::kConflicted);
  }
  auto held = f->slices.find(pk);
  if (held != f->slices.end())
    return held->second == View(payload, size) ? Transition::kRepeated
                                               : Drop(*f, Transition::kConflicted);
  const size_t cap = std::min(kMaxFrameBytes, budget_.bytes);
  if (f->bytes + size > cap) {
    LOGE_LIMITED << "frame " << idx << " larger than " << cap << " bytes, dropped";
    return Drop(*f, Transition::kOverflowed);
  }
  MakeRoom(idx, 0, size);
  f->slices.emplace(pk, View(payload, size));
  f->bytes += size;
  held_bytes_ += size;
  if (f->final_index < 0 || f->slices.size() != static_cast<size_t>(f->final_index) + 1)
    return step;
  return Complete(idx, *f);
}

VFrameBuffer::Frame& VFrameBuffer::Begin(uint32_t idx, Frame* existing) {
  if (existing != nullptr) {
    Clear(*existing);
    *existing = Frame();
  } else {
    MakeRoom(idx, 1, 0);
    existing = &frames_[idx];
  }
  ++starts_;
  existing->first_us = platform::NowMicros();
  return *existing;
}

void VFrameBuffer::Clear(Frame& f) {
  held_bytes_ -= f.bytes;
  f.bytes = 0;
  f.slices.clear();
}

void VFrameBuffer::set_budget(Budget budget) {
  budget_ = budget;
  MakeRoom(-1, 0, 0);
}

void VFrameBuffer::MakeRoom(int64_t keep, size_t frames, size_t bytes) {
  while (frames_.size() + frames > budget_.frames || held_bytes_ + bytes > budget_.bytes) {
    // The frame touched longest ago: a sender's frames arrive one after the other.
    auto victim = frames_.end();
    for (auto it = frames_.begin(); it != frames_.end(); ++it) {
      if (static_cast<int64_t>(it->first) == keep) continue;
      if (victim == frames_.end() || it->second.touched < victim->second.touched) victim = it;
    }
    if (victim == frames_.end()) return;
    held_bytes_ -= victim->second.bytes;
    frames_.erase(victim);
    ++evicted_;
  }
}

VFrameBuffer::Transition VFrameBuffer::Drop(Frame& f, Transition why) {
  Clear(f);
  f.state = FrameState::kDropped;
  return why;
}

VFrameBuffer::Transition VFrameBuffer::Complete(uint32_t idx, Frame& f) {
  // Every slice 0..final is here, in order in the map.
  complete_.clear();
  complete_.reserve(f.bytes);
  for (auto& [index, bytes] : f.slices) complete_ += bytes;
  Clear(f);
  f.state = FrameState::kEmitted;
  if (idx == 0) return Transition::kZero;
  const Emitted seen{idx, complete_.size(), std::hash<std::string_view>()(complete_)};
  for (const Emitted& e : emitted_) {
    if (e.index == seen.index && e.size == seen.size && e.hash == seen.hash) {
      ++duplicates_;
      return Transition::kDuplicated;
    }
  }
  emitted_[emitted_next_] = seen;
  emitted_next_ = (emitted_next_ + 1) % emitted_.size();
  has_complete_ = true;
  completed_index_ = idx;
  completed_first_us_ = f.first_us;
  return Transition::kCompleted;
}

void VFrameBuffer::GetFrame(std::string& out) {
  if (!has_complete_) {
    out.clear();
    return;
  }
  out = std::move(complete_);
  complete_.clear();
  has_complete_ = false;
}
