// Annex-B NAL unit scanning and the few header fields the decoder needs before decoding.
#include "nal_units.h"

#include <algorithm>

namespace {

constexpr int kH264Sei = 6, kH264Sps = 7, kH264Pps = 8, kH264Idr = 5, kH264Slice = 1;
constexpr int kHevcVps = 32, kHevcSps = 33, kHevcPps = 34;
constexpr int kRecoveryPointSei = 6;

// Calls f(nal) for every NAL unit, without its start code and trailing zero bytes.
template <class F>
void ForEachNal(std::span<const uint8_t> b, F&& f) {
  size_t start = SIZE_MAX;
  auto emit = [&](size_t end) {
    while (end > start && b[end - 1] == 0) --end;
    if (end > start) f(b.subspan(start, end - start));
  };
  for (size_t i = 0; i + 2 < b.size(); ++i) {
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
      if (start != SIZE_MAX) emit(i);
      start = i + 3;
      i += 2;
    }
  }
  if (start != SIZE_MAX) emit(b.size());
}

// The payload without emulation prevention bytes (00 00 03), at most `limit` bytes of it:
// every field read here sits near the start.
std::vector<uint8_t> Unescape(std::span<const uint8_t> nal, size_t limit) {
  std::vector<uint8_t> out;
  out.reserve(std::min(nal.size(), limit));
  int zeros = 0;
  for (size_t i = 0; i < nal.size() && out.size() < limit; ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    out.push_back(nal[i]);
  }
  return out;
}

class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  std::optional<uint32_t> Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= bytes_.size() * 8) return std::nullopt;
      v = (v << 1) | ((bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
      ++pos_;
    }
    return v;
  }
  bool Skip(size_t n) {
    pos_ += n;
    return pos_ <= bytes_.size() * 8;
  }
  // Exp-Golomb; ids and slice types fit in far fewer than 32 bits.
  std::optional<uint32_t> Ue() {
    int leading = 0;
    for (;;) {
      auto bit = Bits(1);
      if (!bit) return std::nullopt;
      if (*bit) break;
      if (++leading > 31) return std::nullopt;
    }
    auto rest = Bits(leading);
    if (!rest) return std::nullopt;
    return static_cast<uint32_t>((uint64_t{1} << leading) - 1 + *rest);
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

std::optional<uint32_t> H264ParameterSetId(int type, std::span<const uint8_t> nal) {
  if (nal.size() < 2) return std::nullopt;
  std::vector<uint8_t> rbsp = Unescape(nal.subspan(1), 64);
  BitReader r(rbsp);
  if (type == kH264Sps && !r.Skip(24)) return std::nullopt;  // profile, constraints, level
  auto id = r.Ue();
  if (!id || *id > (type == kH264Sps ? 31u : 255u)) return std::nullopt;
  return id;
}

std::optional<uint32_t> HevcParameterSetId(int type, std::span<const uint8_t> nal) {
  if (nal.size() < 3) return std::nullopt;
  std::vector<uint8_t> rbsp = Unescape(nal.subspan(2), 128);
  BitReader r(rbsp);
  if (type == kHevcVps) return r.Bits(4);
  if (type == kHevcPps) {
    auto id = r.Ue();
    if (!id || *id > 63) return std::nullopt;
    return id;
  }
  // SPS: the id follows the profile, tier and level, whose length depends on the sub-layers.
  if (!r.Skip(4)) return std::nullopt;
  auto max_sub_layers_minus1 = r.Bits(3);
  if (!max_sub_layers_minus1 || !r.Skip(1) || !r.Skip(96)) return std::nullopt;
  const uint32_t n = *max_sub_layers_minus1;
  bool profile[8] = {}, level[8] = {};
  for (uint32_t i = 0; i < n; ++i) {
    auto p = r.Bits(1), l = r.Bits(1);
    if (!p || !l) return std::nullopt;
    profile[i] = *p;
    level[i] = *l;
  }
  if (n > 0 && !r.Skip(2 * (8 - n))) return std::nullopt;
  for (uint32_t i = 0; i < n; ++i) {
    if ((profile[i] && !r.Skip(88)) || (level[i] && !r.Skip(8))) return std::nullopt;
  }
  auto id = r.Ue();
  if (!id || *id > 15) return std::nullopt;
  return id;
}

bool H264IntraSlice(std::span<const uint8_t> nal) {
  std::vector<uint8_t> rbsp = Unescape(nal.subspan(1), 16);
  BitReader r(rbsp);
  if (!r.Ue()) return false;  // first_mb_in_slice
  auto type = r.Ue();
  return type && (*type % 5 == 2 || *type % 5 == 4);  // I or SI
}

bool H264HasRecoveryPoint(std::span<const uint8_t> nal) {
  std::vector<uint8_t> rbsp = Unescape(nal.subspan(1), 4096);
  size_t i = 0;
  auto ff_coded = [&](uint32_t* v) {
    *v = 0;
    while (i < rbsp.size() && rbsp[i] == 0xFF) *v += rbsp[i++];
    if (i >= rbsp.size()) return false;
    *v += rbsp[i++];
    return true;
  };
  // Messages until the trailing bits (0x80).
  while (i < rbsp.size() && rbsp[i] != 0x80) {
    uint32_t type = 0, size = 0;
    if (!ff_coded(&type) || !ff_coded(&size)) return false;
    if (type == kRecoveryPointSei) return true;
    i += size;
  }
  return false;
}

}  // namespace

std::optional<uint32_t> ParameterSetIdOf(AVCodecID codec, int nal_type,
                                         std::span<const uint8_t> nal) {
  if (codec == AV_CODEC_ID_H264 && (nal_type == kH264Sps || nal_type == kH264Pps))
    return H264ParameterSetId(nal_type, nal);
  if (codec == AV_CODEC_ID_HEVC && nal_type >= kHevcVps && nal_type <= kHevcPps)
    return HevcParameterSetId(nal_type, nal);
  return std::nullopt;
}

AVCodecID CodecFromParameterSets(std::span<const uint8_t> frame) {
  bool h264 = false, hevc = false;
  ForEachNal(frame, [&](std::span<const uint8_t> nal) {
    if ((nal[0] & 0x9F) == kH264Sps && (nal[0] & 0x60) != 0) h264 = true;
    if (nal.size() >= 2 && (nal[0] == kHevcVps << 1 || nal[0] == kHevcSps << 1) &&
        (nal[1] & 0xF8) == 0 && (nal[1] & 0x07) != 0)
      hevc = true;
  });
  if (h264 == hevc) return AV_CODEC_ID_NONE;
  return h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
}

FrameNals ParseFrameNals(AVCodecID codec, std::span<const uint8_t> frame) {
  FrameNals out;
  bool intra_slice = false, recovery_point = false;
  ForEachNal(frame, [&](std::span<const uint8_t> nal) {
    if (nal[0] & 0x80) return;  // forbidden bit: not a NAL header
    if (codec == AV_CODEC_ID_H264) {
      int type = nal[0] & 0x1F;
      if (type == kH264Idr) {
        out.has_slice = out.key = true;
      } else if (type >= kH264Slice && type < kH264Idr) {
        if (!out.has_slice && type == kH264Slice) intra_slice = H264IntraSlice(nal);
        out.has_slice = true;
      } else if (type == kH264Sei) {
        recovery_point = recovery_point || H264HasRecoveryPoint(nal);
      } else if (type == kH264Sps || type == kH264Pps) {
        if (auto id = H264ParameterSetId(type, nal)) out.parameter_sets.push_back({type, *id, nal});
      }
    } else if (codec == AV_CODEC_ID_HEVC && nal.size() >= 2) {
      int type = (nal[0] >> 1) & 0x3F;
      if ((nal[0] & 1) != 0 || (nal[1] & 0xF8) != 0) return;  // not the base layer
      if (type <= 9 || (type >= 16 && type <= 21)) {
        out.has_slice = true;
        if (type >= 16) out.key = true;
      } else if (type >= kHevcVps && type <= kHevcPps) {
        if (auto id = HevcParameterSetId(type, nal)) out.parameter_sets.push_back({type, *id, nal});
      }
    }
  });
  if (intra_slice && recovery_point) out.key = true;
  return out;
}
