// NV12 to I420 (for Y4M output), keeping the conversion context while the size stays.
#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

class Nv12ToI420 {
 public:
  Nv12ToI420() = default;
  ~Nv12ToI420() { sws_freeContext(sws_); }
  Nv12ToI420(const Nv12ToI420&) = delete;
  Nv12ToI420& operator=(const Nv12ToI420&) = delete;

  bool Convert(const std::vector<uint8_t>& nv12, int w, int h, std::vector<uint8_t>* out) {
    int n = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, w, h, 1);
    if (n <= 0 ||
        nv12.size() < static_cast<size_t>(av_image_get_buffer_size(AV_PIX_FMT_NV12, w, h, 1)))
      return false;
    sws_ = sws_getCachedContext(sws_, w, h, AV_PIX_FMT_NV12, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                nullptr, nullptr, nullptr);
    if (sws_ == nullptr) return false;
    uint8_t* src[4];
    int src_lines[4];
    av_image_fill_arrays(src, src_lines, nv12.data(), AV_PIX_FMT_NV12, w, h, 1);
    out->resize(static_cast<size_t>(n));
    uint8_t* dst[4];
    int dst_lines[4];
    av_image_fill_arrays(dst, dst_lines, out->data(), AV_PIX_FMT_YUV420P, w, h, 1);
    return sws_scale(sws_, src, src_lines, 0, h, dst, dst_lines) == h;
  }

 private:
  SwsContext* sws_ = nullptr;
};
