// What the key-frame policy needs to know of a frame before it is decoded, read from its NAL
// units: no decoder, no FFmpeg.
#pragma once

#include <cstdint>
#include <optional>

// How decoding can start again at a frame without what came before it.
enum class RecoveryKind : uint8_t {
  kNone,
  kIdr,           // an H.264 or H.265 IDR picture
  kIrap,          // an H.265 CRA or BLA picture: its RASL pictures reference what came before
  kIntraWithSei,  // an H.264 I picture with a recovery point at itself (open GOP)
  kIntraOnly,     // an H.264 reference I picture while the stream keeps one reference frame
  kRefresh,       // an H.264 recovery point on a predicted picture (intra refresh)
};

struct FrameFacts {
  bool has_slice = false;       // carries (part of) a picture
  bool parameter_sets = false;  // carries a sequence or picture parameter set
  bool sei = false;             // carries SEI messages
  RecoveryKind recovery = RecoveryKind::kNone;
  // kRefresh: pictures are whole again from the one whose frame_num is this many frames on.
  uint32_t recovery_frames = 0;
  std::optional<uint32_t> frame_num;  // H.264, once its sequence parameter set is known
  uint32_t max_frame_num = 0;         // frame_num counts modulo this
  // frame_num counts every reference frame (no gaps allowed, no fields): a loss of reference
  // frames shows in it.
  bool frame_num_counts_references = false;
  bool reference = true;  // H.264 nal_ref_idc != 0: later pictures may reference it
  int slices = 0;

  // A picture decoding can start from at once.
  bool key() const { return recovery != RecoveryKind::kNone && recovery != RecoveryKind::kRefresh; }
};
