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

}  // namespace testing_util
