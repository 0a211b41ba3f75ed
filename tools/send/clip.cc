#include "clip.h"

#include <algorithm>
#include <cstdio>

#include "basics.h"
#include "command_line.h"
#include "packetizer.h"

namespace pellion_send {

using pellion_tools::AccessUnit;
using pellion_tools::Codec;
using pellion_tools::SplitStream;

FileSource::FileSource(std::vector<uint8_t> bytes, SplitStream stream, uint64_t loops)
    : bytes_(std::move(bytes)),
      stream_(std::move(stream)),
      loops_(loops),
      has_key_(std::any_of(stream_.units.begin(), stream_.units.end(),
                           [](const AccessUnit& u) { return u.key; })) {}

bool FileSource::Next(Frame* frame) {
  if (stream_.units.empty()) return false;
  if (jump_) {
    jump_ = false;
    if (!SeekKey()) return false;
  }
  if (next_ == stream_.units.size() && !NextPass()) return false;
  const AccessUnit& u = stream_.units[next_];
  frame->data = std::span<const uint8_t>(bytes_).subspan(u.offset, u.size);
  frame->key = u.key;
  frame->au_number = next_++;
  return true;
}

bool FileSource::NextPass() {
  ++passes_;
  if (loops_ != 0 && passes_ >= loops_) return false;
  next_ = 0;
  return true;
}

// Skips to the next key unit, into the next pass if need be. Without one left the file is
// over: what would follow could not be decoded anyway.
bool FileSource::SeekKey() {
  if (!has_key_) {
    if (!told_no_key_)
      std::fprintf(stderr, "pellion-send: the file has no key frame; requests are ignored\n");
    told_no_key_ = true;
    return true;
  }
  for (;;) {
    while (next_ < stream_.units.size() && !stream_.units[next_].key) ++next_;
    if (next_ < stream_.units.size()) return true;
    if (!NextPass()) {
      std::fprintf(stderr, "pellion-send: no key frame left to answer a request; done\n");
      return false;
    }
  }
}

namespace {

Codec FileCodec(const Options& o) {
  if (!o.codec.empty()) return o.codec == "h264" ? Codec::kH264 : Codec::kHevc;
  std::optional<Codec> codec = pellion_tools::CodecFromFileName(o.file);
  if (!codec) throw UsageError("cannot tell the codec from the name " + o.file + "; use --codec");
  return *codec;
}

void CheckFrameFits(size_t bytes, size_t payload) {
  if (PacketCount(bytes, payload) > kMaxPacketsPerFrame)
    throw RuntimeError("a frame of " + std::to_string(bytes) + " bytes needs more than " +
                       std::to_string(kMaxPacketsPerFrame) + " packets; use a larger --payload");
}

std::string Describe(const Options& o, Codec codec, const SplitStream& stream, double fps) {
  size_t keys = 0;
  for (const AccessUnit& u : stream.units) keys += u.key ? 1 : 0;
  char fps_text[64];
  std::snprintf(fps_text, sizeof fps_text, "%.4g fps%s", fps,
                o.fps > 0        ? ""
                : stream.fps > 0 ? " (from the stream)"
                                 : " (default)");
  return o.file + ": " + pellion_tools::CodecName(codec) + ", " +
         std::to_string(stream.units.size()) + " access units (" + std::to_string(keys) +
         " key), " + (o.fast ? "as fast as possible" : fps_text);
}

// Where the second key frame comes among the frames the first pass makes, shaped as the
// sending loop will shape them.
std::optional<uint64_t> SecondKey(const Options& o, Codec codec, std::span<const uint8_t> bytes,
                                  const SplitStream& stream) {
  ParameterSetShaper shaper(codec, o.parameter_sets);
  uint64_t position = 0, keys_seen = 0;
  for (const AccessUnit& u : stream.units) {
    for (const Piece& piece : shaper.Shape(bytes.subspan(u.offset, u.size), u.key)) {
      if (piece.key && ++keys_seen == 2) return position;
      ++position;
    }
  }
  return std::nullopt;
}

}  // namespace

OpenedSource OpenFile(const Options& o) {
  const Codec codec = FileCodec(o);
  std::vector<uint8_t> bytes = pellion_tools::ReadWholeFile(o.file);
  pellion_tools::CheckStream(codec, bytes, o.file);
  SplitStream stream = pellion_tools::SplitAccessUnits(codec, bytes);
  size_t largest = 0;
  for (const AccessUnit& u : stream.units) largest = std::max(largest, u.size);
  CheckFrameFits(largest, o.payload);
  OpenedSource s;
  s.fps = o.fps > 0 ? o.fps : stream.fps > 0 ? stream.fps : 30;
  s.frames = o.frames;
  s.what = Describe(o, codec, stream, s.fps);
  s.codec = codec;
  s.second_key = SecondKey(o, codec, bytes, stream);
  s.source = std::make_unique<FileSource>(std::move(bytes), std::move(stream), o.loops);
  return s;
}

}  // namespace pellion_send
