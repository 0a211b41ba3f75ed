// The codec probe: a custom reader over the sample, FFmpeg's detection, the first video stream.
#include "VideoFmtEx.h"

#include <algorithm>
#include <cstring>

#include "ffmpeg_log.h"
#include "ffmpeg_ptr.h"
#include "log/log.h"
#include "log/rate_limit.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

constexpr int kReaderBufferSize = 4096;

// Nested opens (a playlist naming other files) are refused outright.
int RefuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

}  // namespace

int read_memory_packet(void* opaque, uint8_t* buf, int buf_size) {
  auto* reader = static_cast<MemoryReader*>(opaque);
  size_t n = buf_size > 0 ? std::min(reader->remaining, static_cast<size_t>(buf_size)) : 0;
  if (n < 1) return AVERROR_EOF;
  std::memcpy(buf, reader->ptr, n);
  reader->ptr += n;
  reader->remaining -= n;
  return static_cast<int>(n);
}

std::string av_err_text(int err) {
  char text[64] = {};
  av_strerror(err, text, sizeof(text));
  return text;
}

int get_video_codec_id_from_memory(const uint8_t* data, size_t size, AVCodecID* out) {
  if (data == nullptr || out == nullptr || size == 0) return AVERROR(EINVAL);
  ffmpeg_log::InstallLimit();
  MemoryReader reader{data, size};
  int result = 0;
  AVIOContext* avio = nullptr;
  AVFormatContext* format = nullptr;

  auto* buffer = static_cast<uint8_t*>(av_malloc(kReaderBufferSize));
  if (buffer != nullptr)
    avio = avio_alloc_context(buffer, kReaderBufferSize, 0, &reader, &read_memory_packet, nullptr,
                              nullptr);
  if (avio == nullptr) av_free(buffer);  // not handed over: still ours
  if (avio != nullptr) format = avformat_alloc_context();

  if (avio == nullptr || format == nullptr) {
    result = AVERROR(ENOMEM);
  } else {
    format->pb = avio;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->format_whitelist = av_strdup(kProbeFormatWhitelist);
    format->io_open = &RefuseNestedOpen;
    int ret = avformat_open_input(&format, nullptr, nullptr, nullptr);
    if (ret < 0) {
      // avformat_open_input freed the context and set the pointer to null.
      LOGE_LIMITED << "Could not open input error:" << av_err_text(ret) << " size:" << size;
      result = ret;
    } else if ((ret = avformat_find_stream_info(format, nullptr)) < 0) {
      LOGE_LIMITED << "Could not find stream info error:" << av_err_text(ret) << " size:" << size;
      result = ret;
    } else {
      const AVStream* video = nullptr;
      for (unsigned i = 0; i < format->nb_streams && video == nullptr; ++i)
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
          video = format->streams[i];
      if (video == nullptr) {
        LOGE_LIMITED << "No video stream found"
                     << " size:" << size;
        result = AVERROR_STREAM_NOT_FOUND;
      } else {
        *out = video->codecpar->codec_id;
        result = ret;
      }
    }
  }
  if (format != nullptr) avformat_close_input(&format);
  if (avio != nullptr) {
    // The library may have replaced the buffer given above: free the current one.
    av_freep(&avio->buffer);
    avio_context_free(&avio);
  }
  return result;
}

int probe_video_codec_id(const uint8_t* data, size_t size) {
  AVCodecID id = AV_CODEC_ID_NONE;
  get_video_codec_id_from_memory(data, size, &id);
  return id;
}
