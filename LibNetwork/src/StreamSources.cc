// Sources of the stream: one current sender, the others kept apart.
#include "StreamSources.h"

#include <algorithm>

namespace {

using Bytes = std::string_view;

uint8_t At(Bytes b, size_t i) { return static_cast<uint8_t>(b[i]); }

// The first payload types of an SEI NAL unit (after its `header_size` header bytes) include a
// recovery point (type 6). Emulation prevention is not removed: it cannot occur before the
// first message's payload, and later messages are only looked for while sizes stay inside.
bool SeiHasRecoveryPoint(Bytes nal, size_t header_size) {
  size_t i = header_size;
  while (i < nal.size()) {
    uint32_t type = 0, size = 0;
    while (i < nal.size() && At(nal, i) == 0xFF) type += 0xFF, ++i;
    if (i >= nal.size()) return false;
    type += At(nal, i++);
    while (i < nal.size() && At(nal, i) == 0xFF) size += 0xFF, ++i;
    if (i >= nal.size()) return false;
    size += At(nal, i++);
    if (type == 6) return true;
    i += size;
    // The trailing bits end the message list.
    if (i < nal.size() && At(nal, i) == 0x80) return false;
  }
  return false;
}

FrameLook LookOfH264(Bytes nal) {
  const uint8_t h = At(nal, 0);
  const int type = h & 0x1F;
  const bool reference = (h >> 5) != 0;
  if ((type == 5 || type == 7 || type == 8) && reference) return FrameLook::kStreamStart;
  if (type == 6 && !reference && SeiHasRecoveryPoint(nal, 1)) return FrameLook::kStreamStart;
  if (type >= 1 && type <= 5) return FrameLook::kVideo;
  return FrameLook::kJunk;
}

FrameLook LookOfH265(Bytes nal) {
  if (nal.size() < 2) return FrameLook::kJunk;
  const uint8_t h0 = At(nal, 0), h1 = At(nal, 1);
  const int layer = (h0 & 1) << 5 | h1 >> 3;
  if (layer != 0 || (h1 & 7) == 0) return FrameLook::kJunk;
  const int type = h0 >> 1 & 0x3F;
  if ((type >= 16 && type <= 21) || (type >= 32 && type <= 34)) return FrameLook::kStreamStart;
  if (type == 39 && SeiHasRecoveryPoint(nal, 2)) return FrameLook::kStreamStart;
  if (type <= 9) return FrameLook::kVideo;
  return FrameLook::kJunk;
}

// Position after the next start code (00 00 01) at or after `from`, or npos.
size_t NextNal(Bytes b, size_t from) {
  for (size_t i = from; i + 3 <= b.size(); ++i) {
    if (At(b, i + 2) > 1) {
      i += 2;  // no start code can end before i + 3
      continue;
    }
    if (At(b, i) == 0 && At(b, i + 1) == 0 && At(b, i + 2) == 1) return i + 3;
  }
  return Bytes::npos;
}

}  // namespace

FrameLook LookOf(Bytes frame) {
  // Annex-B frames begin with a start code; junk hardly ever does.
  const bool starts = (frame.size() > 3 && frame.compare(0, 3, Bytes("\0\0\1", 3)) == 0) ||
                      (frame.size() > 4 && frame.compare(0, 4, Bytes("\0\0\0\1", 4)) == 0);
  if (!starts) return FrameLook::kJunk;
  FrameLook look = FrameLook::kJunk;
  for (size_t at = NextNal(frame, 0); at != Bytes::npos && at < frame.size();) {
    const size_t next = NextNal(frame, at);
    Bytes nal = frame.substr(at, (next == Bytes::npos ? frame.size() : next - 3) - at);
    // A NAL header's forbidden bit is 0 in both codecs.
    if (!nal.empty() && (At(nal, 0) & 0x80) == 0)
      look = std::max({look, LookOfH264(nal), LookOfH265(nal)});
    if (look == FrameLook::kStreamStart) break;
    at = next;
  }
  return look;
}

StreamSources::Source& StreamSources::Of(const std::string& ip, int port, uint32_t now_ms) {
  Source* found = nullptr;
  if (last_ != nullptr && last_->port == port && last_->ip == ip) {
    found = last_;
  } else {
    for (auto& s : sources_) {
      if (s->port == port && s->ip == ip) {
        found = s.get();
        break;
      }
    }
  }
  if (found == nullptr) {
    const size_t others = sources_.size() - (current_ != nullptr ? 1 : 0);
    if (others >= kMaxOtherSources) {
      auto oldest = sources_.end();
      for (auto it = sources_.begin(); it != sources_.end(); ++it) {
        if (it->get() == current_) continue;
        if (oldest == sources_.end() ||
            now_ms - (*it)->last_heard_ms > now_ms - (*oldest)->last_heard_ms)
          oldest = it;
      }
      sources_.erase(oldest);
    }
    sources_.push_back(std::make_unique<Source>(ip, port));
    found = sources_.back().get();
  }
  found->last_heard_ms = now_ms;
  last_ = found;
  return *found;
}

bool StreamSources::Qualifies(Source& source, uint32_t index, Bytes frame) {
  const FrameLook look = LookOf(frame);
  if (look == FrameLook::kJunk) {
    source.video_in_a_row = 0;
    return false;
  }
  source.video_in_a_row =
      source.video_in_a_row > 0 && index == source.next_index ? source.video_in_a_row + 1 : 1;
  source.next_index = index + 1;
  // A run of video frames is enough only while nobody is current: a take-over hands the decoder
  // a stream start first, so that nothing of the new sender is decoded against the old one's
  // pictures.
  return look == FrameLook::kStreamStart ||
         (current_ == nullptr && source.video_in_a_row >= kVideoInARow);
}

StreamSources::Verdict StreamSources::OnComplete(Source& source, uint32_t index, Bytes frame,
                                                 uint32_t now_ms) {
  if (&source == current_) {
    source.last_complete_ms = now_ms;
    return Verdict::kHandOn;
  }
  if (!Qualifies(source, index, frame)) return Verdict::kWithheld;
  if (current_ == nullptr) {
    previous_name_.clear();
    MakeCurrent(source);
    source.last_complete_ms = now_ms;
    return Verdict::kBecameCurrent;
  }
  if (now_ms - current_->last_complete_ms < kTakeOverAfterMs) return Verdict::kWithheld;
  previous_name_ = current_->Name();
  MakeCurrent(source);
  source.last_complete_ms = now_ms;
  return Verdict::kTookOver;
}

void StreamSources::MakeCurrent(Source& source) {
  if (current_ != nullptr) current_->buffer.set_budget(VFrameBuffer::kOtherBudget);
  current_ = &source;
  source.buffer.set_budget(VFrameBuffer::kCurrentBudget);
}

void StreamSources::Reset() {
  sources_.clear();
  current_ = nullptr;
  last_ = nullptr;
  previous_name_.clear();
}
