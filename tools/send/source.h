// Where the frames to send come from: a clip file or the built-in encoder.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "elementary_stream.h"

namespace pellion_send {

struct Frame {
  std::span<const uint8_t> data;  // valid until the next call of Next()
  bool key = false;
  uint64_t au_number = 0;  // position in the source's own sequence
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // False at the end of the source.
  virtual bool Next(Frame* frame) = 0;
  // The next frame should be a key frame; several calls before it count as one.
  virtual void RequestKeyFrame() = 0;
};

struct OpenedSource {
  std::unique_ptr<FrameSource> source;
  pellion_tools::Codec codec = pellion_tools::Codec::kH264;
  double fps = 30;
  uint64_t frames = 0;  // 0: no limit
  std::string what;     // for the opening line
  // Where the second key frame of a file comes among the frames sent, when it has one.
  std::optional<uint64_t> second_key;
};

}  // namespace pellion_send
