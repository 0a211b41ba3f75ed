// Encoded frames into the codec probe and the process's decoder. The input is a sequence of
// frames, each [flags: 1 byte][length: 2 bytes][bytes]: flag 1 closes the decoder before the
// frame (so it is probed and opened afresh), flag 2 also runs the probe on its own. Every
// input starts with no decoder open, so a crash replays from its input alone.
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "VideoFmtEx.h"
#include "fuzz_common.h"
#include "video_decoder.h"

namespace {

// NV12 with 1-byte alignment: the luma plane, then interleaved chroma at half size rounded up.
size_t Nv12Size(int w, int h) {
  size_t cw = static_cast<size_t>(w + 1) / 2, ch = static_cast<size_t>(h + 1) / 2;
  return static_cast<size_t>(w) * static_cast<size_t>(h) + 2 * cw * ch;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pellion_fuzz::QuietLogs();
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reset_video_decoder();
  pellion_fuzz::Records records(data, size);
  std::vector<uint8_t> picture;
  while (!records.done()) {
    uint8_t flags = records.Byte();
    std::string_view frame = records.Next();
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
    if (flags & 1) reset_video_decoder();
    if (flags & 2) {
      int id = probe_video_codec_id(bytes, frame.size());
      FUZZ_CHECK(id == AV_CODEC_ID_NONE || id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC);
    }
    int width = 0, height = 0, type = 0;
    AVCodecID codec = AV_CODEC_ID_NONE;
    if (!decode_video_frame(bytes, frame.size(), &picture, &width, &height, &codec, &type))
      continue;
    FUZZ_CHECK(codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC);
    FUZZ_CHECK(width > 0 && height > 0);
    FUZZ_CHECK(picture.size() == Nv12Size(width, height));
  }
  return 0;
}
