// Whole frames cut into stream packets, and control datagrams, as a sender puts them on the wire.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/stream_packet.h"
#include "network/NorvNetUDT.h"

namespace testing_util {

// Cuts a frame into packets of at most `slice` payload bytes.
inline std::vector<std::string> Packets(uint32_t idx, const std::string& frame, size_t slice) {
  std::vector<std::string> out;
  size_t n = std::max<size_t>(1, (frame.size() + slice - 1) / slice);
  for (size_t i = 0; i < n; ++i)
    out.push_back(
        Packet(idx, static_cast<uint16_t>(i), i + 1 == n, frame.substr(i * slice, slice)));
  return out;
}

// A control datagram: the 8-byte header enciphered (the cipher is its own inverse), then the
// payload.
inline std::string ControlDatagram(uint16_t magic, uint16_t low, uint16_t high,
                                   const std::string& payload) {
  const uint16_t words[3] = {magic, low, high};
  uint8_t plain[8] = {}, cipher[8];
  for (int i = 0; i < 3; ++i) {
    plain[2 * i] = static_cast<uint8_t>(words[i]);
    plain[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
  }
  NORV::sNetwork::DecipherControlBytes(plain, cipher);
  return std::string(reinterpret_cast<char*>(cipher), 8) + payload;
}

}  // namespace testing_util
