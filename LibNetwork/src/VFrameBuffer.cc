// Frame reassembly with per-frame state, bounded memory and a packet-rate line.
#include "VFrameBuffer.h"

#include <functional>
#include <string_view>

#include "log/log.h"
#include "platform/clock.h"

namespace {

size_t HashOf(const uint8_t* data, size_t size) {
  return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(data), size));
}

}  // namespace

VFrameBuffer::Frame& VFrameBuffer::Start(uint32_t index) {
  Frame& f = frames_[index];
  f = Frame();
  f.first_us = platform::NowMicros();
  if (frames_.size() >= kMaxFrames) EvictOneExcept(index);
  return f;
}

void VFrameBuffer::EvictOneExcept(uint32_t keep) {
  // While indices rise the least recently touched frame is the oldest one; a burst of packets
  // with random indices then evicts each other, not the frame being built.
  auto victim = frames_.end();
  for (auto it = frames_.begin(); it != frames_.end(); ++it) {
    if (it->first == keep) continue;
    if (victim == frames_.end() || it->second.touched < victim->second.touched) victim = it;
  }
  if (victim != frames_.end()) frames_.erase(victim);
}

bool VFrameBuffer::insert(const StreamPacketHeader& header, const uint8_t* payload, size_t size) {
  has_complete_ = false;
  LogRate();
  const uint32_t idx = header.frameidx;
  const uint16_t pk = header.pkgindx;

  auto it = frames_.find(idx);
  Frame* f = it != frames_.end() ? &it->second : nullptr;
  if (f == nullptr) {
    f = &Start(idx);
  } else if (pk == 0) {
    // A first packet restarts its frame, unless it repeats the one already there (a duplicate,
    // or the same first slice of a frame handed out already).
    auto first = f->slices.find(0);
    bool same_as_held =
        first != f->slices.end()
            ? first->second.size() == size &&
                  first->second.compare(0, size, reinterpret_cast<const char*>(payload), size) == 0
            : f->emitted && f->first_slice_hash == HashOf(payload, size);
    bool reordered_first = !f->emitted && first == f->slices.end() && !f->dropped;
    if (same_as_held) return false;
    if (!reordered_first) f = &Start(idx);
  }
  f->touched = ++clock_;
  if (f->emitted || f->dropped) return false;
  if (header.is_final) {
    bool beyond = !f->slices.empty() && f->slices.rbegin()->first > pk;
    if ((f->final_index >= 0 && f->final_index != pk) || beyond) {
      // Two different ends for one frame: it cannot be rebuilt.
      f->dropped = true;
      f->slices.clear();
      return false;
    }
    f->final_index = pk;
  }
  if (f->final_index >= 0 && pk > f->final_index) return false;  // beyond the end: not ours
  auto [slice, inserted] = f->slices.try_emplace(pk);
  if (!inserted) return false;  // duplicate
  slice->second.assign(reinterpret_cast<const char*>(payload), size);
  f->bytes += size;
  if (f->bytes > kMaxFrameBytes) {
    LOGE << "frame " << idx << " larger than " << kMaxFrameBytes << " bytes, dropped";
    f->dropped = true;
    f->slices.clear();
    return false;
  }
  if (f->final_index < 0 || f->slices.size() != static_cast<size_t>(f->final_index) + 1)
    return false;
  // Complete: every slice 0..final is here, in order in the map.
  f->emitted = true;
  f->first_slice_hash = HashOf(reinterpret_cast<const uint8_t*>(f->slices.begin()->second.data()),
                               f->slices.begin()->second.size());
  complete_.clear();
  complete_.reserve(f->bytes);
  for (auto& [index, bytes] : f->slices) complete_ += bytes;
  f->slices.clear();
  // Index 0 means "no frame" to senders: it is never handed out.
  if (idx == 0) return false;
  has_complete_ = true;
  completed_index_ = idx;
  completed_first_us_ = f->first_us;
  return true;
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

void VFrameBuffer::LogRate() {
  ++packs_;
  uint32_t now = platform::ClockMs();
  if (now - static_cast<uint32_t>(last_tick_) >= 3000) {
    LOGI << packs_ / 3 << "(packs/s)";
    packs_ = 0;
    last_tick_ = now;
  }
}
