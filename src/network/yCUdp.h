// yCUdp: the SDK's wrapper of one UDP socket.
#pragma once

#include <string>

#include "platform/udp_socket.h"

namespace NORV::sNetwork {

class yCUdp {
 public:
  yCUdp() = default;
  virtual ~yCUdp() = default;
  yCUdp(const yCUdp&) = delete;
  yCUdp& operator=(const yCUdp&) = delete;

  // Creates and binds the socket (`ip` null = every local address). On failure nothing is left
  // open and last_error() tells why. Only a broadcast socket shares its port: any other holds
  // it alone, so a second one on the same port fails instead of receiving nothing.
  bool Create(const char* ip, int port, bool broadcast);
  // The system's error of the last Create that failed (errno, or the Winsock error); 0 after
  // one that succeeded.
  int last_error() const { return last_error_; }
  // Whether the last Create failed because another socket holds the port.
  bool AddressInUse() const { return platform::UdpSocket::IsAddressInUse(last_error_); }
  // One datagram, waiting at most timeout_seconds (0: no wait limit): its size, 0 on time-out,
  // -1 on a socket error (errno in *error when given).
  int RecvFrom(char* buffer, int length, char* ip_out, int* port_out, int timeout_seconds,
               int* error = nullptr);
  virtual int GetSocket() const { return socket_.fd(); }
  int BoundPort() const { return socket_.LocalPort(); }
  bool IsValid() const { return socket_.valid(); }

  int SetRecvTimeout(int ms) { return socket_.SetReceiveTimeoutMs(ms) == 0 ? 0 : -1; }
  int SetSendTimeout(int ms) { return socket_.SetSendTimeoutMs(ms) == 0 ? 0 : -1; }
  int SetReuseAddr(bool on) { return socket_.SetReuseAddress(on) == 0 ? 0 : -1; }
  // Windows-only behaviour (ICMP port-unreachable resets): nothing to do here.
  int SetUdpConnReset(bool) { return 0; }
  // Asks for a receive buffer of `bytes`; returns what the kernel granted (it caps silently).
  int SetRecvBuffer(int bytes);

  void Shutdown() { socket_.Shutdown(); }
  void Close() { socket_.Close(); }

 private:
  platform::UdpSocket socket_;
  int last_error_ = 0;
};

}  // namespace NORV::sNetwork
