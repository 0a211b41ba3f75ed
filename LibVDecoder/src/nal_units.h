// What the NAL unit headers of one Annex-B frame tell before it is decoded: its codec, whether
// it holds a key picture, and the parameter sets it carries with their ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "frame_facts.h"

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

// Reads frames of one stream as the policy needs them: remembers the H.264 parameter set fields
// that later slice headers are read with (frame_num's length, the reference frame count).
class StreamSyntax {
 public:
  FrameFacts Describe(AVCodecID codec, std::span<const uint8_t> frame);
  void Reset() { sps_.clear(), pps_.clear(); }

  struct Sps {
    uint32_t log2_max_frame_num = 4;
    uint32_t max_num_ref_frames = 0;
    bool frame_num_counts_references = false;
    bool separate_colour_plane = false;
  };

 private:
  std::map<uint32_t, Sps> sps_;       // by id
  std::map<uint32_t, uint32_t> pps_;  // pps id -> sps id
};

// The fields of an H.264 sequence parameter set (header and payload) that slice headers need.
std::optional<StreamSyntax::Sps> ReadH264Sps(std::span<const uint8_t> nal, uint32_t* id);
