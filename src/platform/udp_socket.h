// One UDP socket over BSD sockets (IPv4), close-on-exec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket() { Close(); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // 0 or errno.
  int Open();
  // `ip` null or empty binds to every local address. 0 or errno.
  int Bind(const char* ip, int port);
  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Options; 0 or errno.
  int SetBroadcast(bool on);
  int SetReuseAddress(bool on);
  // Before Bind: no later socket may bind the same port, whatever options it sets. Windows
  // needs SO_EXCLUSIVEADDRUSE for that; on Linux a UDP bind without SO_REUSEADDR already is
  // exclusive, so this does nothing there and returns 0.
  int SetExclusiveAddressUse();
  int SetReceiveTimeoutMs(int ms);
  int SetSendTimeoutMs(int ms);
  int SetReceiveBuffer(int bytes);
  int ReceiveBuffer() const;  // as the kernel reports it

  // Port the socket is bound to (host order), 0 if none.
  int LocalPort() const;
  std::string LocalAddress() const;

  // Waits at most timeout_ms for a datagram (negative: no wait limit). Returns its size, 0 on
  // time-out or interruption, -1 on error (errno in *error).
  int ReceiveFrom(char* buffer, int length, std::string* ip, int* port, int timeout_ms, int* error);
  int SendTo(const void* data, size_t size, const std::string& ip, int port);

  void Shutdown();
  void Close();

  // Whether an error of Bind means another socket holds the address.
  static bool IsAddressInUse(int error);

 private:
  int fd_ = -1;
};

}  // namespace platform
