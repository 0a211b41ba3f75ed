// The built-in test pattern, encoded on the fly as a live camera would.
#pragma once

#include <cstdint>
#include <string>

#include "elementary_stream.h"
#include "ffmpeg_ptr.h"
#include "source.h"

namespace pellion_send {

struct Options;

struct EncodeOptions {
  int width = 1280, height = 720;
  int gop = 60;
};

// Stepped bars and a luma ramp sliding across, drifting chroma, and the picture number in
// binary as a row of blocks, so no two neighbouring pictures are alike and a viewer can read off
// which picture it shows.
void DrawPattern(AVFrame* f, uint64_t n);

// Encodes the test pattern with libx264 or libx265: no B-frames, no lookahead, one access unit
// out per picture in, in Annex-B with parameter sets before every key frame.
class EncoderSource final : public FrameSource {
 public:
  // `pictures`: how many to encode (0: without end).
  EncoderSource(pellion_tools::Codec c, const EncodeOptions& e, double fps, uint64_t pictures);

  bool Next(Frame* frame) override;
  void RequestKeyFrame() override {
    // A key frame forced but not out yet answers this request as well.
    if (!awaiting_key_) force_key_ = true;
  }

 private:
  void Open(pellion_tools::Codec c, const EncodeOptions& e, double fps);
  void TakePacket(Frame* frame);
  int EncodePicture();

  std::string name_;
  CodecContextPtr ctx_;
  FramePtr frame_;
  PacketPtr packet_;
  uint64_t limit_;
  uint64_t pictures_ = 0, packets_ = 0;
  bool flushing_ = false;
  bool force_key_ = false, awaiting_key_ = false;
  int64_t forced_pts_ = 0;
};

OpenedSource OpenEncoder(const Options& o);

}  // namespace pellion_send
