// What the NAL unit headers of one Annex-B frame tell before it is decoded: its codec, whether
// it holds a key picture, and the parameter sets it carries with their ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

struct ParameterSet {
  int nal_type = 0;
  uint32_t id = 0;
  std::span<const uint8_t> nal;  // header and payload, no start code, no trailing zero bytes
};

struct FrameNals {
  bool has_slice = false;  // carries (part of) a picture
  // A picture a decoder can start from: an H.264 IDR or an I slice with a recovery point, an
  // H.265 IRAP picture.
  bool key = false;
  std::vector<ParameterSet> parameter_sets;  // those whose id could be read
};

// The codec whose sequence parameter set the frame carries, AV_CODEC_ID_NONE if none or both.
// The two header forms never collide: an H.264 SPS header is one odd byte (type 7, nal_ref_idc
// not 0), while an H.265 VPS or SPS header is the even byte 0x40 or 0x42 followed by a
// layer-0 byte (0x01..0x07).
AVCodecID CodecFromParameterSets(std::span<const uint8_t> frame);

// Reads the NAL units of a frame of `codec` (H.264 or H.265).
FrameNals ParseFrameNals(AVCodecID codec, std::span<const uint8_t> frame);

// The id of a parameter set NAL unit (header and payload, no start code): nullopt when `nal_type`
// is no parameter set of `codec`, or the id cannot be read or is out of its range.
std::optional<uint32_t> ParameterSetIdOf(AVCodecID codec, int nal_type,
                                         std::span<const uint8_t> nal);
