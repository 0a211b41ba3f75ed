// NV12 to I420 (for Y4M output): the luma as it is, the interleaved chroma split in two planes.
// Done by hand: swscale's unscaled path faults on rows that are not a multiple of 16 bytes
// (a 642-wide picture) when the planes are packed with no padding, as the section has them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

class Nv12ToI420 {
 public:
  bool Convert(const std::vector<uint8_t>& nv12, int w, int h, std::vector<uint8_t>* out) {
    if (w <= 0 || h <= 0) return false;
    const size_t luma = static_cast<size_t>(w) * h;
    const size_t chroma = static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2);
    if (nv12.size() < luma + 2 * chroma) return false;
    out->resize(luma + 2 * chroma);
    uint8_t* y = out->data();
    uint8_t* u = y + luma;
    uint8_t* v = u + chroma;
    const uint8_t* uv = nv12.data() + luma;
    std::copy(nv12.data(), uv, y);
    for (size_t i = 0; i < chroma; ++i) {
      u[i] = uv[2 * i];
      v[i] = uv[2 * i + 1];
    }
    return true;
  }
};
