#include "packetizer.h"

#include <algorithm>

#include "StreamPacketHeader.h"

namespace pellion_send {

using pellion_tools::NalUnit;

const std::vector<Piece>& ParameterSetShaper::Shape(std::span<const uint8_t> unit, bool key) {
  out_.clear();
  if (mode_ == ParameterSets::kInline) {
    out_.push_back({unit, key});
    return out_;
  }
  std::vector<NalUnit> nals = pellion_tools::SplitNalUnits(codec_, unit);
  const bool any_set = std::any_of(nals.begin(), nals.end(), [&](auto& n) { return IsSet(n); });
  const bool all_sets =
      !nals.empty() && std::all_of(nals.begin(), nals.end(), [&](auto& n) { return IsSet(n); });
  if (!any_set || (mode_ == ParameterSets::kSeparate && all_sets) ||
      (mode_ == ParameterSets::kOnce && Remember(unit, nals))) {
    out_.push_back({unit, key});
    return out_;
  }
  Split(unit, nals);
  if (mode_ == ParameterSets::kSeparate) out_.push_back({sets_, false});
  if (!rest_.empty()) out_.push_back({rest_, key});
  return out_;
}

bool ParameterSetShaper::IsSet(const NalUnit& n) const {
  return pellion_tools::IsParameterSetNal(codec_, n.type);
}

void ParameterSetShaper::Split(std::span<const uint8_t> unit, const std::vector<NalUnit>& nals) {
  sets_.clear();
  rest_.clear();
  for (const NalUnit& n : nals) {
    std::vector<uint8_t>& to = IsSet(n) ? sets_ : rest_;
    // Annex B wants the long start code on the first unit of an access unit and on
    // parameter sets; a frame that now starts with a slice or an SEI gets it too.
    if (to.empty() && n.header - n.offset < 4) to.push_back(0);
    to.insert(to.end(), unit.begin() + static_cast<ptrdiff_t>(n.offset),
              unit.begin() + static_cast<ptrdiff_t>(n.offset + n.size));
  }
}

// Files the unit's parameter sets as sent when any differs from the one last sent under its
// type and id; true then, and all of them go again: a changed VPS or SPS can change how the
// sets that refer to it read, and a decoder may drop those along with the old one.
bool ParameterSetShaper::Remember(std::span<const uint8_t> unit, const std::vector<NalUnit>& nals) {
  std::vector<std::pair<std::pair<int, int>, std::span<const uint8_t>>> sets;
  bool changed = false;
  for (const NalUnit& n : nals) {
    if (!IsSet(n)) continue;
    std::span<const uint8_t> body = unit.subspan(n.header, n.offset + n.size - n.header);
    std::pair<int, int> key{n.type, pellion_tools::ParameterSetId(codec_, n.type, body)};
    auto it = sent_.find(key);
    changed |= it == sent_.end() || !std::ranges::equal(body, it->second);
    sets.push_back({key, body});
  }
  if (!changed) return false;
  for (const auto& [key, body] : sets) sent_[key].assign(body.begin(), body.end());
  return true;
}

size_t PacketCount(size_t frame_size, size_t payload) {
  return std::max<size_t>(1, (frame_size + payload - 1) / payload);
}

uint32_t NextFrameIndex(uint32_t idx) { return idx == UINT32_MAX ? 1 : idx + 1; }

// Receivers drop a datagram of fewer than 10 bytes, so a last packet of one byte borrows one
// from the packet before it.
void Packetize(std::span<const uint8_t> frame, uint32_t frameidx, size_t payload,
               const std::function<void(std::vector<uint8_t>)>& emit) {
  const size_t count = PacketCount(frame.size(), payload);
  const bool borrow = count > 1 && frame.size() % payload == 1;
  for (size_t i = 0; i < count; ++i) {
    size_t begin = i * payload;
    size_t len = std::min(payload, frame.size() - begin);
    if (borrow && i + 2 == count) len -= 1;
    if (borrow && i + 1 == count) {
      begin -= 1;
      len += 1;
    }
    StreamPacketHeader h;
    h.vstream = true;
    h.is_final = i + 1 == count;
    h.packlen = static_cast<uint16_t>(StreamPacketHeader::kSize + len);
    h.frameidx = frameidx;
    h.pkgindx = static_cast<uint16_t>(i);
    std::vector<uint8_t> d(StreamPacketHeader::kSize + len);
    h.Write(d.data());
    std::copy_n(frame.data() + begin, len, d.data() + StreamPacketHeader::kSize);
    emit(std::move(d));
  }
}

}  // namespace pellion_send
