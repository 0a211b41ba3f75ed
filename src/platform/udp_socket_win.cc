// UDP sockets on Winsock 2. Winsock is started once per process and never cleaned up: other
// threads may still close sockets while the process's statics go away.
#include "platform/udp_socket.h"
#include "platform/win_util.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace platform {
namespace {

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET S(int fd) { return static_cast<SOCKET>(fd); }

int SetInt(int fd, int level, int name, int value) {
  return setsockopt(S(fd), level, name, reinterpret_cast<const char*>(&value), sizeof(value)) == 0
             ? 0
             : WSAGetLastError();
}

int SetTimeout(int fd, int name, int ms) {
  ::DWORD value = static_cast<::DWORD>(ms);
  return setsockopt(S(fd), SOL_SOCKET, name, reinterpret_cast<const char*>(&value),
                    sizeof(value)) == 0
             ? 0
             : WSAGetLastError();
}

}  // namespace

int UdpSocket::Open() {
  Close();
  if (!StartWinsock()) return WSASYSNOTREADY;
  SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  // A datagram to a closed port would otherwise fail the next receive with WSAECONNRESET.
  BOOL report = FALSE;
  ::DWORD bytes = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &bytes, nullptr, nullptr);
  fd_ = static_cast<int>(s);
  return 0;
}

int UdpSocket::Bind(const char* ip, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (ip != nullptr && *ip != '\0') {
    if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1) return WSAEINVAL;
  } else {
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  return bind(S(fd_), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 ? 0
                                                                             : WSAGetLastError();
}

int UdpSocket::SetBroadcast(bool on) { return SetInt(fd_, SOL_SOCKET, SO_BROADCAST, on); }
int UdpSocket::SetReuseAddress(bool on) { return SetInt(fd_, SOL_SOCKET, SO_REUSEADDR, on); }
int UdpSocket::SetExclusiveAddressUse() { return SetInt(fd_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1); }
int UdpSocket::SetReceiveTimeoutMs(int ms) { return SetTimeout(fd_, SO_RCVTIMEO, ms); }
int UdpSocket::SetSendTimeoutMs(int ms) { return SetTimeout(fd_, SO_SNDTIMEO, ms); }
int UdpSocket::SetReceiveBuffer(int bytes) { return SetInt(fd_, SOL_SOCKET, SO_RCVBUF, bytes); }

int UdpSocket::ReceiveBuffer() const {
  int value = 0;
  int len = sizeof(value);
  if (getsockopt(S(fd_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&value), &len) != 0)
    return -1;
  return value;
}

int UdpSocket::LocalPort() const {
  sockaddr_in addr{};
  int len = sizeof(addr);
  if (fd_ < 0 || getsockname(S(fd_), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

std::string UdpSocket::LocalAddress() const {
  sockaddr_in addr{};
  int len = sizeof(addr);
  char text[INET_ADDRSTRLEN] = {};
  if (fd_ < 0 || getsockname(S(fd_), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text));
  return text;
}

int UdpSocket::ReceiveFrom(char* buffer, int length, std::string* ip, int* port, int timeout_ms,
                           int* error) {
  *error = 0;
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(S(fd_), &read_set);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int r = select(0, &read_set, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv);
  if (r == 0) return 0;
  if (r == SOCKET_ERROR) {
    *error = WSAGetLastError();
    return -1;
  }
  sockaddr_in from{};
  int from_len = sizeof(from);
  int n = recvfrom(S(fd_), buffer, length, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n == SOCKET_ERROR) {
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINTR || err == WSAECONNRESET) return 0;
    *error = err;
    return -1;
  }
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
  *ip = text;
  *port = ntohs(from.sin_port);
  return n;
}

int UdpSocket::SendTo(const void* data, size_t size, const std::string& ip, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1) return -1;
  return sendto(S(fd_), static_cast<const char*>(data), static_cast<int>(size), 0,
                reinterpret_cast<sockaddr*>(&to), sizeof(to));
}

void UdpSocket::Shutdown() {
  if (fd_ >= 0) shutdown(S(fd_), SD_BOTH);
}

void UdpSocket::Close() {
  if (fd_ >= 0) closesocket(S(fd_));
  fd_ = -1;
}

// An exclusive bind meeting a socket that holds the port with SO_REUSEADDR is refused with
// WSAEACCES rather than WSAEADDRINUSE.
bool UdpSocket::IsAddressInUse(int error) { return error == WSAEADDRINUSE || error == WSAEACCES; }

}  // namespace platform
