// The dump both demo hosts write (--dump): what they read from the frame section, one record
// per picture, for tests to compare with the reference decode.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "pellion/frame_section.h"

namespace pellion_tools {

// One --dump record: frame index (u32), width and height (u16 each), byte count (u32), all
// little-endian, then the NV12 bytes. Flushed at once, so that a test can follow the file.
inline bool AppendDumpRecord(FILE* f, const pellion::FrameHeader& h,
                             const std::vector<uint8_t>& nv12) {
  const uint32_t n = static_cast<uint32_t>(nv12.size());
  uint8_t head[12];
  for (int i = 0; i < 4; ++i) {
    head[i] = static_cast<uint8_t>(h.frame_index >> (8 * i));
    head[8 + i] = static_cast<uint8_t>(n >> (8 * i));
  }
  head[4] = static_cast<uint8_t>(h.width);
  head[5] = static_cast<uint8_t>(h.width >> 8);
  head[6] = static_cast<uint8_t>(h.height);
  head[7] = static_cast<uint8_t>(h.height >> 8);
  return std::fwrite(head, 1, sizeof head, f) == sizeof head &&
         std::fwrite(nv12.data(), 1, n, f) == n && std::fflush(f) == 0;
}

}  // namespace pellion_tools
