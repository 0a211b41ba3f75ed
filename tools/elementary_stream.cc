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
  for (AccessUnit& u : out.units)
    ForEachNal(codec, file.subspan(u.offset, u.size), [&](int t) { u.key |= IsKeyNal(codec, t); });

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
