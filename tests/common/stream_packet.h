// One stream packet as a sender puts it on the wire, for tests that feed a receiver directly.
#pragma once

#include <cstdint>
#include <string>

#include "StreamPacketHeader.h"

namespace testing_util {

inline std::string Packet(uint32_t idx, uint16_t pk, bool final, const std::string& payload,
                          bool video = true) {
  StreamPacketHeader h;
  h.vstream = video;
  h.is_final = final;
  h.packlen = static_cast<uint16_t>(8 + payload.size());
  h.frameidx = idx;
  h.pkgindx = pk;
  std::string out(8, '\0');
  h.Write(reinterpret_cast<uint8_t*>(out.data()));
  return out + payload;
}

// The smallest frame a receiver takes as the start of a stream: an H.264 sequence parameter
// set's NAL header after a start code. A receiver hands on the frames of the source that sent
// one first.
inline const std::string kStreamStart("\0\0\0\1\x67\x42", 6);
// A stream start that names no codec: an H.264 recovery-point SEI alone.
inline const std::string kStartWithoutCodec("\0\0\0\1\x06\x06\x01\x84", 8);

}  // namespace testing_util
