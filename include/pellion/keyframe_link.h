// The key-frame request link between a host and its video sender, as the demo host and the
// sender tool speak it. The plug-in itself only calls ITcpOper::SendMsg; how a host carries the
// message is the host's choice, and this is ours.
//
// - The sender listens on TCP port 9112 (kKeyFrameRequestPort); the host connects to it.
// - A message is its code and its body length, each a 32-bit little-endian integer, then the
//   body. The key-frame request is code 0 (REQUEST_CODE_FOR_I_FRAME) with no body.
// - The host's sender thread connects on demand and after every failure or disconnect tries
//   again every 500 ms. Requests never block the caller: while no connection stands, only the
//   newest request of each code is kept, and it is sent once the connection is back (a sender
//   answers one key-frame request as well as ten).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pellion {

inline constexpr int kKeyFrameRequestPort = 9112;
inline constexpr int kReconnectIntervalMs = 500;
inline constexpr size_t kLinkHeaderSize = 8;
// A sender refuses bodies larger than this (a broken or hostile peer).
inline constexpr uint32_t kMaxLinkBody = 1 << 20;

struct LinkMessage {
  uint32_t code = 0;
  std::string body;
};

inline std::string EncodeLinkMessage(uint32_t code, const void* body, uint32_t length) {
  std::string out(kLinkHeaderSize, '\0');
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<char>(code >> (8 * i));
    out[4 + i] = static_cast<char>(length >> (8 * i));
  }
  if (body != nullptr && length > 0) out.append(static_cast<const char*>(body), length);
  return out;
}

// Takes every complete message off the front of `buffer`. False when the stream is broken
// (a body over kMaxLinkBody): the connection should be closed.
inline bool DecodeLinkMessages(std::string* buffer, std::vector<LinkMessage>* out) {
  size_t pos = 0;
  while (buffer->size() - pos >= kLinkHeaderSize) {
    const auto* p = reinterpret_cast<const uint8_t*>(buffer->data() + pos);
    uint32_t code = 0, length = 0;
    for (int i = 0; i < 4; ++i) {
      code |= static_cast<uint32_t>(p[i]) << (8 * i);
      length |= static_cast<uint32_t>(p[4 + i]) << (8 * i);
    }
    if (length > kMaxLinkBody) return false;
    if (buffer->size() - pos - kLinkHeaderSize < length) break;
    out->push_back({code, buffer->substr(pos + kLinkHeaderSize, length)});
    pos += kLinkHeaderSize + length;
  }
  buffer->erase(0, pos);
  return true;
}

}  // namespace pellion
