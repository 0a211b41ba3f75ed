// Annex-B NAL unit scanning and the few header fields the decoder needs before decoding.
#include "nal_units.h"

#include <algorithm>
#include <cstring>

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
  // Start codes end in a 1: memchr finds the candidates far faster than a byte loop, which
  // matters for frames of a megabyte.
  const uint8_t* const data = b.data();
  for (size_t i = 2; i < b.size();) {
    const void* one = std::memchr(data + i, 1, b.size() - i);
    if (one == nullptr) break;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(one) - data);
    if (data[at - 1] == 0 && data[at - 2] == 0) {
      if (start != SIZE_MAX) emit(at - 2);
      start = at + 1;
      i = at + 3;
    } else {
      i = at + 1;
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
  std::optional<int32_t> Se() {
    auto v = Ue();
    if (!v) return std::nullopt;
    return (*v & 1) ? static_cast<int32_t>((*v + 1) / 2) : -static_cast<int32_t>(*v / 2);
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

struct RecoveryPoint {
  uint32_t frames = 0;
  bool exact = false;
};

// The recovery point of an SEI NAL unit (H.264, or an H.265 prefix SEI), if it has one.
std::optional<RecoveryPoint> RecoveryPointOf(std::span<const uint8_t> nal, size_t header) {
  if (nal.size() <= header) return std::nullopt;
  std::vector<uint8_t> rbsp = Unescape(nal.subspan(header), 4096);
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
    if (!ff_coded(&type) || !ff_coded(&size)) return std::nullopt;
    if (type == kRecoveryPointSei) {
      BitReader r(
          std::span<const uint8_t>(rbsp).subspan(i, std::min<size_t>(size, rbsp.size() - i)));
      RecoveryPoint point;
      auto frames = r.Ue();
      auto exact = r.Bits(1);
      if (frames) point.frames = *frames;
      point.exact = exact && *exact == 1;
      return point;
    }
    i += size;
  }
  return std::nullopt;
}

bool H264HasRecoveryPoint(std::span<const uint8_t> nal) {
  return RecoveryPointOf(nal, 1).has_value();
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

namespace {

bool SkipScalingList(BitReader& r, int size) {
  int32_t last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      auto delta = r.Se();
      if (!delta) return false;
      next = (last + *delta + 256) % 256;
    }
    if (next != 0) last = next;
  }
  return true;
}

bool HighProfile(uint32_t profile) {
  switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<StreamSyntax::Sps> ReadH264Sps(std::span<const uint8_t> nal, uint32_t* id) {
  if (nal.size() < 4) return std::nullopt;
  std::vector<uint8_t> rbsp = Unescape(nal.subspan(1), 512);
  BitReader r(rbsp);
  auto profile = r.Bits(8);
  if (!profile || !r.Skip(16)) return std::nullopt;
  auto sps_id = r.Ue();
  if (!sps_id || *sps_id > 31) return std::nullopt;
  StreamSyntax::Sps sps;
  if (HighProfile(*profile)) {
    auto chroma = r.Ue();
    if (!chroma || *chroma > 3) return std::nullopt;
    if (*chroma == 3) {
      auto separate = r.Bits(1);
      if (!separate) return std::nullopt;
      sps.separate_colour_plane = *separate == 1;
    }
    if (!r.Ue() || !r.Ue() || !r.Skip(1)) return std::nullopt;  // bit depths, qpprime
    auto matrix = r.Bits(1);
    if (!matrix) return std::nullopt;
    if (*matrix) {
      for (int i = 0; i < (*chroma != 3 ? 8 : 12); ++i) {
        auto present = r.Bits(1);
        if (!present) return std::nullopt;
        if (*present && !SkipScalingList(r, i < 6 ? 16 : 64)) return std::nullopt;
      }
    }
  }
  auto log2_max_frame_num = r.Ue();
  auto poc_type = r.Ue();
  if (!log2_max_frame_num || *log2_max_frame_num > 12 || !poc_type || *poc_type > 2)
    return std::nullopt;
  sps.log2_max_frame_num = *log2_max_frame_num + 4;
  if (*poc_type == 0) {
    if (!r.Ue()) return std::nullopt;
  } else if (*poc_type == 1) {
    if (!r.Skip(1) || !r.Se() || !r.Se()) return std::nullopt;
    auto cycle = r.Ue();
    if (!cycle || *cycle > 255) return std::nullopt;
    for (uint32_t i = 0; i < *cycle; ++i)
      if (!r.Se()) return std::nullopt;
  }
  auto refs = r.Ue();
  if (!refs || *refs > 16) return std::nullopt;
  sps.max_num_ref_frames = *refs;
  auto gaps = r.Bits(1);
  auto width = r.Ue(), height = r.Ue();
  auto frames_only = r.Bits(1);
  if (!gaps || !width || !height || !frames_only) return std::nullopt;
  sps.frame_num_counts_references = *gaps == 0 && *frames_only == 1;
  *id = *sps_id;
  return sps;
}

FrameFacts StreamSyntax::Describe(AVCodecID codec, std::span<const uint8_t> frame) {
  FrameFacts f;
  bool idr = false, irap = false, all_intra = true, reference = false;
  std::optional<RecoveryPoint> point;
  const Sps* sps = nullptr;
  ForEachNal(frame, [&](std::span<const uint8_t> nal) {
    if (nal[0] & 0x80) return;  // forbidden bit: not a NAL header
    if (codec == AV_CODEC_ID_H264) {
      const int type = nal[0] & 0x1F;
      if (type == kH264Sps) {
        uint32_t id = 0;
        if (auto read = ReadH264Sps(nal, &id)) sps_[id] = *read;
        f.parameter_sets = true;
      } else if (type == kH264Pps) {
        std::vector<uint8_t> rbsp = Unescape(nal.subspan(1), 16);
        BitReader r(rbsp);
        auto pps_id = r.Ue();
        auto sps_id = r.Ue();
        if (pps_id && sps_id && *pps_id <= 255) pps_[*pps_id] = *sps_id;
        f.parameter_sets = true;
      } else if (type == kH264Sei) {
        f.sei = true;
        if (!point) point = RecoveryPointOf(nal, 1);
      } else if (type >= kH264Slice && type <= kH264Idr) {
        std::vector<uint8_t> rbsp = Unescape(nal.subspan(1), 32);
        BitReader r(rbsp);
        auto first_mb = r.Ue();
        auto slice_type = r.Ue();
        auto pps_id = r.Ue();
        all_intra = all_intra && slice_type && (*slice_type % 5 == 2 || *slice_type % 5 == 4);
        if (f.slices++ == 0) {
          idr = type == kH264Idr;
          reference = (nal[0] & 0x60) != 0;
          f.reference = reference;
          auto p = pps_id ? pps_.find(*pps_id) : pps_.end();
          auto s = p != pps_.end() ? sps_.find(p->second) : sps_.end();
          if (first_mb && s != sps_.end()) {
            sps = &s->second;
            if (!sps->separate_colour_plane || r.Skip(2)) {
              f.frame_num = r.Bits(static_cast<int>(sps->log2_max_frame_num));
              f.max_frame_num = 1u << sps->log2_max_frame_num;
              f.frame_num_counts_references = sps->frame_num_counts_references;
            }
          }
        }
      }
    } else if (codec == AV_CODEC_ID_HEVC && nal.size() >= 2) {
      const int type = (nal[0] >> 1) & 0x3F;
      if ((nal[0] & 1) != 0 || (nal[1] & 0xF8) != 0) return;  // not the base layer
      if (type <= 9 || (type >= 16 && type <= 21)) {
        if (f.slices++ == 0) {
          idr = type == 19 || type == 20;
          irap = type >= 16;
        }
      } else if (type >= kHevcVps && type <= kHevcPps) {
        f.parameter_sets = true;
      } else if (type == 39 || type == 40) {
        f.sei = true;
      }
    }
  });
  f.has_slice = f.slices > 0;
  if (!f.has_slice) return f;
  if (idr) {
    f.recovery = RecoveryKind::kIdr;
  } else if (irap) {
    f.recovery = RecoveryKind::kIrap;
  } else if (codec != AV_CODEC_ID_H264) {
  } else if (all_intra && point && point->frames == 0) {
    f.recovery = RecoveryKind::kIntraWithSei;
  } else if (point && point->exact && f.frame_num) {
    f.recovery = RecoveryKind::kRefresh;
    f.recovery_frames = point->frames;
  } else if (all_intra && reference && sps != nullptr && sps->max_num_ref_frames <= 1) {
    f.recovery = RecoveryKind::kIntraOnly;
  }
  return f;
}
