// UDP sockets on Linux: poll instead of select, so no descriptor limit applies.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/udp_socket.h"

namespace platform {
namespace {

int SetInt(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value)) == 0 ? 0 : errno;
}

int SetTimeout(int fd, int name, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  return setsockopt(fd, SOL_SOCKET, name, &tv, sizeof(tv)) == 0 ? 0 : errno;
}

}  // namespace

int UdpSocket::Open() {
  Close();
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd_ >= 0 ? 0 : errno;
}

int UdpSocket::Bind(const char* ip, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (ip != nullptr && *ip != '\0') {
    if (inet_pton(AF_INET, ip, &addr.sin_addr) != 1) return EINVAL;
  } else {
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  return bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 ? 0 : errno;
}

int UdpSocket::SetBroadcast(bool on) { return SetInt(fd_, SOL_SOCKET, SO_BROADCAST, on); }
int UdpSocket::SetReuseAddress(bool on) { return SetInt(fd_, SOL_SOCKET, SO_REUSEADDR, on); }
// Without SO_REUSEADDR a unicast bind already holds its port alone.
int UdpSocket::SetExclusiveAddressUse() { return 0; }
int UdpSocket::SetReceiveTimeoutMs(int ms) { return SetTimeout(fd_, SO_RCVTIMEO, ms); }
int UdpSocket::SetSendTimeoutMs(int ms) { return SetTimeout(fd_, SO_SNDTIMEO, ms); }
int UdpSocket::SetReceiveBuffer(int bytes) { return SetInt(fd_, SOL_SOCKET, SO_RCVBUF, bytes); }

int UdpSocket::ReceiveBuffer() const {
  int value = 0;
  socklen_t len = sizeof(value);
  if (getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &value, &len) != 0) return -1;
  return value;
}

int UdpSocket::LocalPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

std::string UdpSocket::LocalAddress() const {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  char text[INET_ADDRSTRLEN] = {};
  if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text));
  return text;
}

int UdpSocket::ReceiveFrom(char* buffer, int length, std::string* ip, int* port, int timeout_ms,
                           int* error) {
  *error = 0;
  pollfd p{fd_, POLLIN, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r == 0 || (r < 0 && errno == EINTR)) return 0;
  if (r < 0) {
    *error = errno;
    return -1;
  }
  sockaddr_in from{};
  socklen_t from_len = sizeof(from);
  ssize_t n = recvfrom(fd_, buffer, static_cast<size_t>(length), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&from), &from_len);
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return 0;
    *error = errno;
    return -1;
  }
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
  *ip = text;
  *port = ntohs(from.sin_port);
  return static_cast<int>(n);
}

int UdpSocket::SendTo(const void* data, size_t size, const std::string& ip, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1) return -1;
  ssize_t n = sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  return static_cast<int>(n);
}

void UdpSocket::Shutdown() {
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

void UdpSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool UdpSocket::IsAddressInUse(int error) { return error == EADDRINUSE; }

}  // namespace platform
