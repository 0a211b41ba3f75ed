// The 8-byte big-endian header of a stream packet: one UDP datagram carries one header and one
// slice of an encoded video frame.
//
//   offset 0, 16 bits: bit 15 vstream, bit 14 is_final, bits 13..0 packlen (header included)
//   offset 2, 32 bits: frameidx
//   offset 6, 16 bits: pkgindx (0 for a frame's first packet)
//   offset 8: packlen - 8 payload bytes; datagram bytes beyond packlen are ignored
#pragma once

#include <cstddef>
#include <cstdint>

struct StreamPacketHeader {
  static constexpr size_t kSize = 8;
  static constexpr uint16_t kMaxPackLen = 0x3FFF;

  bool vstream = false;
  bool is_final = false;
  uint16_t packlen = 0;
  uint32_t frameidx = 0;
  uint16_t pkgindx = 0;

  // Reads the first 8 bytes; false when fewer are given.
  static bool Parse(const uint8_t* data, size_t size, StreamPacketHeader* out) {
    if (data == nullptr || size < kSize) return false;
    uint16_t word = static_cast<uint16_t>(data[0] << 8 | data[1]);
    out->vstream = (word & 0x8000) != 0;
    out->is_final = (word & 0x4000) != 0;
    out->packlen = word & kMaxPackLen;
    out->frameidx = static_cast<uint32_t>(data[2]) << 24 | static_cast<uint32_t>(data[3]) << 16 |
                    static_cast<uint32_t>(data[4]) << 8 | data[5];
    out->pkgindx = static_cast<uint16_t>(data[6] << 8 | data[7]);
    return true;
  }

  // Writes the 8 header bytes.
  void Write(uint8_t* out) const {
    uint16_t word = static_cast<uint16_t>((vstream ? 0x8000 : 0) | (is_final ? 0x4000 : 0) |
                                          (packlen & kMaxPackLen));
    out[0] = static_cast<uint8_t>(word >> 8);
    out[1] = static_cast<uint8_t>(word);
    out[2] = static_cast<uint8_t>(frameidx >> 24);
    out[3] = static_cast<uint8_t>(frameidx >> 16);
    out[4] = static_cast<uint8_t>(frameidx >> 8);
    out[5] = static_cast<uint8_t>(frameidx);
    out[6] = static_cast<uint8_t>(pkgindx >> 8);
    out[7] = static_cast<uint8_t>(pkgindx);
  }
};
