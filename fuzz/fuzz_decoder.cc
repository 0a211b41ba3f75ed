// Encoded frames into the codec probe, the NAL reader and the process's decoder. The input is a
// sequence of frames, each [flags: 1 byte][length: 2 bytes][bytes]: flag 1 closes the decoder
// before the frame, keeping its parameter sets (so it reopens from the frame, the probe or
// what it remembers), flag 2 also runs the probe on its own, flag 4 flushes the pictures held
// back, flag 8 forgets everything. Every input starts with a decoder that knows nothing, so a
// crash replays from its input alone.
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "VideoFmtEx.h"
#include "fuzz_common.h"
#include "nal_units.h"
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
  VideoDecoder& decoder = ProcessVideoDecoder();
  decoder.Reset();
  pellion_fuzz::Records records(data, size);
  std::vector<uint8_t> picture;
  int64_t tag = 0;
  while (!records.done()) {
    uint8_t flags = records.Byte();
    std::string_view frame = records.Next();
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame.data());
    if (flags & 1) decoder.Close();
    if (flags & 4) decoder.Flush();
    if (flags & 8) decoder.Reset();
    if (flags & 2) {
      int id = probe_video_codec_id(bytes, frame.size());
      FUZZ_CHECK(id == AV_CODEC_ID_NONE || id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC);
      (void)CodecFromParameterSets({bytes, frame.size()});
    }
    FrameInfo info;
    if (!decoder.Send(bytes, frame.size(), tag++, &info)) continue;
    FUZZ_CHECK(decoder.codec_id() == AV_CODEC_ID_H264 || decoder.codec_id() == AV_CODEC_ID_HEVC);
    DecodedPicture p;
    while (decoder.Receive(&p) == ReceiveStatus::kPicture) {
      FUZZ_CHECK(p.tag >= 0 && p.tag < tag);  // only the tags of frames sent
      FUZZ_CHECK(p.width > 0 && p.height > 0);
      // Corrupt pictures are converted too: the thread drops them, the conversion must hold.
      if (!decoder.ConvertTo(&picture)) continue;
      FUZZ_CHECK(picture.size() == Nv12Size(p.width, p.height));
    }
  }
  return 0;
}
