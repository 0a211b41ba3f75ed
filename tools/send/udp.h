// The datagrams' way out, and a second program's junk on the same receiver port.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_fd.h"

namespace pellion_send {

class UdpSocket {
 public:
  // From `source_port` when it is not 0: a second run from the same port is the same sender to
  // a receiver.
  UdpSocket(const std::string& host, int port, int source_port = 0);

  // False when the datagram was refused for now (full queue, no listener); throws otherwise.
  bool Send(const std::vector<uint8_t>& d);
  const std::string& where() const { return where_; }

 private:
  void BindSource(int family, int source_port);

  std::string where_;
  sockaddr_storage addr_{};
  socklen_t addr_len_ = 0;
  pellion_tools::UniqueFd fd_;
};

// From a socket of its own, datagrams that look like stream packets of frames nobody sends,
// alternating a complete one-packet frame and a packet 1 of a frame that never ends, each under
// a fresh index.
class JunkSender {
 public:
  JunkSender(const std::string& host, int port, int per_datagram)
      : socket_(host, port), per_datagram_(per_datagram) {}
  void AfterDatagram();
  uint64_t sent() const { return sent_; }

 private:
  UdpSocket socket_;
  int per_datagram_;
  uint32_t index_ = 1;
  uint64_t sent_ = 0;
};

}  // namespace pellion_send
