#include "elementary_stream.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "nal_units.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pellion_tools {

namespace {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Reads an RBSP (emulation prevention bytes removed) a bit or an Exp-Golomb number at a time;
// past the end it reads ones, so a damaged number comes out huge rather than plausible.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> nal_payload) {
    int zeros = 0;
    for (uint8_t b : nal_payload) {
      if (zeros >= 2 && b == 3) {
        zeros = 0;
        continue;
      }
      rbsp_.push_back(b);
      zeros = b == 0 ? zeros + 1 : 0;
    }
  }
  uint32_t Bit() {
    if (pos_ >= rbsp_.size() * 8) return 1;
    uint32_t b = (rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
    ++pos_;
    return b;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0 && zeros < 32) ++zeros;
    if (zeros >= 32) return UINT32_MAX;
    uint32_t v = 0;
    for (int i = 0; i < zeros; ++i) v = v << 1 | Bit();
    return (uint32_t{1} << zeros) - 1 + v;
  }
  const std::vector<uint8_t>& bytes() const { return rbsp_; }

 private:
  std::vector<uint8_t> rbsp_;
  size_t pos_ = 0;
};

// An H.264 SEI NAL (after its header) that carries a recovery point of zero frames: the picture
// it comes with is whole by itself, as an open GOP's non-IDR key pictures are.
bool HasExactRecoveryPoint(std::span<const uint8_t> sei) {
  BitReader r(sei);
  const std::vector<uint8_t>& b = r.bytes();
  size_t i = 0;
  while (i < b.size() && b[i] != 0x80) {
    uint32_t type = 0, size = 0;
    while (i < b.size() && b[i] == 0xFF) type += b[i++];
    if (i >= b.size()) return false;
    type += b[i++];
    while (i < b.size() && b[i] == 0xFF) size += b[i++];
    if (i >= b.size()) return false;
    size += b[i++];
    if (size > b.size() - i) return false;
    if (type == 6) return BitReader(std::span<const uint8_t>(b).subspan(i, size)).Ue() == 0;
    i += size;
  }
  return false;
}

// An H.264 access unit a decoder can start from although it holds no IDR picture: every slice
// intra and a recovery point SEI of zero frames (an open GOP's key frames).
bool IsRecoveryKeyUnit(std::span<const uint8_t> unit) {
  bool recovery = false, slices = false, all_intra = true;
  for (const NalUnit& n : SplitNalUnits(Codec::kH264, unit)) {
    if (n.header + 1 >= n.offset + n.size) continue;
    std::span<const uint8_t> payload = unit.subspan(n.header + 1, n.offset + n.size - n.header - 1);
    if (n.type == 6) {
      recovery |= HasExactRecoveryPoint(payload);
    } else if (n.type == 1) {
      BitReader r(payload);
      r.Ue();  // first_mb_in_slice
      const uint32_t slice_type = r.Ue() % 5;
      slices = true;
      all_intra &= slice_type == 2 || slice_type == 4;  // I, SI
    }
  }
  return recovery && slices && all_intra;
}

}  // namespace

const char* CodecName(Codec c) { return c == Codec::kH264 ? "h264" : "hevc"; }

std::optional<Codec> CodecFromFileName(const std::string& path) {
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return std::nullopt;
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  if (ext == "h264" || ext == "264" || ext == "avc") return Codec::kH264;
  if (ext == "h265" || ext == "265" || ext == "hevc") return Codec::kHevc;
  return std::nullopt;
}

int NalType(Codec c, uint8_t first_header_byte) {
  return c == Codec::kH264 ? first_header_byte & 0x1F : (first_header_byte >> 1) & 0x3F;
}
bool IsKeyNal(Codec c, int t) { return c == Codec::kH264 ? t == 5 : t >= 16 && t <= 23; }
bool IsSliceNal(Codec c, int t) {
  return c == Codec::kH264 ? t >= 1 && t <= 5 : t <= 9 || (t >= 16 && t <= 21);
}
bool IsSpsNal(Codec c, int t) { return c == Codec::kH264 ? t == 7 : t == 33; }
bool IsParameterSetNal(Codec c, int t) {
  return c == Codec::kH264 ? t == 7 || t == 8 : t >= 32 && t <= 34;
}

std::vector<NalUnit> SplitNalUnits(Codec c, std::span<const uint8_t> bytes) {
  std::vector<NalUnit> out;
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) continue;
    size_t begin = 0;
    if (!out.empty()) {
      // NAL units never end in a zero byte, so the zeros before a start code are its own.
      begin = i;
      while (begin > out.back().header + 1 && bytes[begin - 1] == 0) --begin;
      out.back().size = begin - out.back().offset;
    }
    out.push_back({begin, 0, i + 3, NalType(c, bytes[i + 3])});
    i += 2;
  }
  if (!out.empty()) out.back().size = bytes.size() - out.back().offset;
  return out;
}

int ParameterSetId(Codec c, int t, std::span<const uint8_t> nal) {
  auto id = ParameterSetIdOf(c == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC, t, nal);
  return id ? static_cast<int>(*id) : -1;
}

SplitStream SplitAccessUnits(Codec codec, std::span<const uint8_t> file) {
  AVCodecID id = codec == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
  std::unique_ptr<AVCodecParserContext, void (*)(AVCodecParserContext*)> parser(av_parser_init(id),
                                                                                av_parser_close);
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(
      avcodec_alloc_context3(nullptr), [](AVCodecContext* p) { avcodec_free_context(&p); });
  if (!parser || !ctx) throw StreamError("cannot set up the FFmpeg parser");
  // H.264 timing info counts fields; with two ticks per frame the parser reports frames.
  if (codec == Codec::kH264) ctx->ticks_per_frame = 2;

  SplitStream out;
  constexpr size_t kChunk = 1 << 20;  // the parser takes int sizes
  size_t fed = 0, covered = 0;
  for (;;) {
    size_t len = std::min(kChunk, file.size() - fed);
    uint8_t* au = nullptr;
    int au_size = 0;
    int used = av_parser_parse2(parser.get(), ctx.get(), &au, &au_size,
                                len > 0 ? file.data() + fed : nullptr, static_cast<int>(len),
                                AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0 || static_cast<size_t>(used) > len) throw StreamError("the parser failed");
    fed += static_cast<size_t>(used);
    if (au_size > 0) {
      size_t n = static_cast<size_t>(au_size);
      // Handing on anything that is not the input's own bytes would corrupt every test
      // downstream.
      if (n > file.size() - covered || std::memcmp(au, file.data() + covered, n) != 0)
        throw StreamError("the parser's output differs from the file at byte " +
                          std::to_string(covered));
      out.units.push_back({covered, n, false});
      covered += n;
    } else if (len == 0) {
      break;  // flushed
    } else if (used == 0) {
      throw StreamError("the parser made no progress at byte " + std::to_string(fed));
    }
  }
  if (covered != file.size())
    throw StreamError("the parser dropped " + std::to_string(file.size() - covered) + " bytes");

  // The H.265 parser ends a unit one byte into the next unit's 4-byte start code. Zero bytes
  // never end a NAL unit, so trailing zeros move to the following unit, which then starts
  // with its whole start code.
  for (size_t i = 0; i + 1 < out.units.size(); ++i) {
    AccessUnit& a = out.units[i];
    AccessUnit& b = out.units[i + 1];
    while (a.size > 0 && file[a.offset + a.size - 1] == 0) {
      --a.size;
      --b.offset;
      ++b.size;
    }
  }
  std::erase_if(out.units, [](const AccessUnit& u) { return u.size == 0; });
  for (AccessUnit& u : out.units) {
    ForEachNal(codec, file.subspan(u.offset, u.size), [&](int t) { u.key |= IsKeyNal(codec, t); });
    if (!u.key && codec == Codec::kH264) u.key = IsRecoveryKeyUnit(file.subspan(u.offset, u.size));
  }

  if (ctx->framerate.num > 0 && ctx->framerate.den > 0) {
    double fps = av_q2d(ctx->framerate);
    if (fps >= 1 && fps <= 1000) out.fps = fps;
  }
  return out;
}

void CheckStream(Codec codec, std::span<const uint8_t> file, const std::string& name) {
  std::string what = name + ": not an " + std::string(codec == Codec::kH264 ? "H.264" : "H.265") +
                     " elementary stream";
  size_t zeros = 0;
  while (zeros < file.size() && file[zeros] == 0) ++zeros;
  if (file.empty()) throw StreamError(name + ": the file is empty");
  if (zeros < 2 || zeros == file.size() || file[zeros] != 1)
    throw StreamError(what + " (it does not begin with a start code)");
  bool sps = false, slice = false;
  ForEachNal(codec, file, [&](int t) {
    sps |= IsSpsNal(codec, t);
    slice |= IsSliceNal(codec, t);
  });
  if (!sps || !slice) throw StreamError(what + " (no sequence parameter set or no slice found)");
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) throw StreamError(ErrnoText("cannot open " + path));
  std::vector<uint8_t> data;
  std::vector<uint8_t> buf(1 << 20);
  for (;;) {
    size_t n = std::fread(buf.data(), 1, buf.size(), f.get());
    data.insert(data.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    if (n < buf.size()) break;
  }
  if (std::ferror(f.get())) throw StreamError(ErrnoText("cannot read " + path));
  return data;
}

}  // namespace pellion_tools
