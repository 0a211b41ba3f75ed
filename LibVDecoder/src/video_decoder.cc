// The process's decoder: one context kept between frames, a conversion to NV12 per picture.
#include "video_decoder.h"

#include <cstring>

#include "VideoFmtEx.h"
#include "ffmpeg_ptr.h"
#include "log/log.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {

// Decoder thread only.
CodecContextPtr g_codec_ctx;
AVCodecID g_codec_id = AV_CODEC_ID_NONE;
// Kept between pictures: a new conversion context per picture costs more than the picture.
SwsContext* g_sws = nullptr;
struct SwsHolder {
  ~SwsHolder() { sws_freeContext(g_sws); }
} g_sws_holder;

bool OpenDecoder(const uint8_t* data, size_t size) {
  g_codec_id = static_cast<AVCodecID>(probe_video_codec_id(data, size));
  const AVCodec* codec = avcodec_find_decoder(g_codec_id);
  if (g_codec_id == AV_CODEC_ID_NONE || codec == nullptr) {
    LOGE << "miss codec: " << avcodec_get_name(g_codec_id);
    return false;
  }
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) {
    LOGE << "avcodec_alloc_context3 return null";
    return false;
  }
  // No option is set: one thread and no frame delay, FFmpeg's defaults.
  int ret = avcodec_open2(ctx.get(), codec, nullptr);
  if (ret < 0) {
    LOGE << "faild to avcodec_open2"
         << " err:" << av_err_text(ret);
    return false;
  }
  g_codec_ctx = std::move(ctx);
  return true;
}

bool Fail() {
  g_codec_ctx.reset();
  return false;
}

}  // namespace

void reset_video_decoder() { g_codec_ctx.reset(); }

bool decode_video_frame(const uint8_t* data, size_t size, std::vector<uint8_t>* picture, int* width,
                        int* height, AVCodecID* codec_id, int* picture_type) {
  if (!g_codec_ctx && !OpenDecoder(data, size)) return false;
  *codec_id = g_codec_id;

  PacketPtr packet(av_packet_alloc());
  if (!packet) {
    LOGE << "faild to av_packet_alloc";
    return Fail();
  }
  if (size > INT32_MAX || av_new_packet(packet.get(), static_cast<int>(size)) < 0) {
    LOGE << "faild to av_new_packet";
    return Fail();
  }
  std::memcpy(packet->data, data, size);
  FramePtr frame(av_frame_alloc());
  if (!frame) {
    LOGE << "faild to av_frame_alloc";
    return Fail();
  }
  int ret = avcodec_send_packet(g_codec_ctx.get(), packet.get());
  if (ret < 0) {
    LOGE << "faild to avcodec_send_packet err:" << av_err_text(ret);
    return Fail();
  }
  // One packet in, at most one picture out: a decoder that holds a picture back fails here.
  if (avcodec_receive_frame(g_codec_ctx.get(), frame.get()) != 0) return Fail();

  const int w = frame->width, h = frame->height;
  g_sws = sws_getCachedContext(g_sws, w, h, static_cast<AVPixelFormat>(frame->format), w, h,
                               AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (g_sws == nullptr) {
    LOGE << "SwsContext is null";
    return Fail();
  }
  FramePtr nv12(av_frame_alloc());
  if (!nv12) {
    LOGE << "frame_yuv is null(av_frame_alloc)";
    return Fail();
  }
  int n = av_image_get_buffer_size(AV_PIX_FMT_NV12, w, h, 1);
  if (n <= 0) {
    LOGE << "av_image_get_buffer_size failed: " << av_err_text(n) << " " << w << "x" << h;
    return Fail();
  }
  // Converted straight into the caller's vector: no temporary picture.
  picture->resize(static_cast<size_t>(n));
  av_image_fill_arrays(nv12->data, nv12->linesize, picture->data(), AV_PIX_FMT_NV12, w, h, 1);
  int rows = sws_scale(g_sws, frame->data, frame->linesize, 0, h, nv12->data, nv12->linesize);
  if (rows != h) LOGE << "sws_scale converted " << rows << " of " << h << " rows";
  *width = w;
  *height = h;
  *picture_type = frame->pict_type;
  return true;
}
