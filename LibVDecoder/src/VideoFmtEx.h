// Finding the codec of one encoded frame held in memory, with FFmpeg's format detection
// limited to raw video elementary streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
#include <libavcodec/codec_id.h>
}

struct MemoryReader {
  const uint8_t* ptr;
  size_t remaining;
};

// The AVIO read callback over a MemoryReader.
int read_memory_packet(void* opaque, uint8_t* buf, int buf_size);

// Not negative on success (the codec id written to *out); a negative FFmpeg error otherwise.
int get_video_codec_id_from_memory(const uint8_t* data, size_t size, AVCodecID* out);

// The codec id of the sample, AV_CODEC_ID_NONE when it tells nothing.
int probe_video_codec_id(const uint8_t* data, size_t size);

// FFmpeg's text for an error code.
std::string av_err_text(int err);

// Formats the probe may select: network bytes must never reach a demuxer that opens other
// files or URLs.
inline constexpr const char* kProbeFormatWhitelist = "h264,hevc";
