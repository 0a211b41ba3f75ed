#include "udp.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>

#include "StreamPacketHeader.h"
#include "basics.h"

namespace pellion_send {

UdpSocket::UdpSocket(const std::string& host, int port, int source_port)
    : where_(host + ":" + std::to_string(port)) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
  if (rc != 0) throw RuntimeError("cannot resolve " + host + ": " + gai_strerror(rc));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(res, freeaddrinfo);
  std::memcpy(&addr_, res->ai_addr, res->ai_addrlen);
  addr_len_ = res->ai_addrlen;
  fd_ = pellion_tools::UniqueFd(socket(res->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd_.valid()) throw RuntimeError(ErrnoText("cannot open a UDP socket"));
  if (source_port != 0) BindSource(res->ai_family, source_port);
}

void UdpSocket::BindSource(int family, int source_port) {
  sockaddr_storage local{};
  socklen_t len = 0;
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&local);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(source_port));
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&local);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(source_port));
    len = sizeof(*a);
  }
  if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&local), len) != 0)
    throw RuntimeError(ErrnoText("cannot send from port " + std::to_string(source_port)));
}

bool UdpSocket::Send(const std::vector<uint8_t>& d) {
  for (;;) {
    ssize_t n = sendto(fd_.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&addr_),
                       addr_len_);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    if (errno == ENOBUFS || errno == EAGAIN || errno == ECONNREFUSED) return false;
    throw RuntimeError(ErrnoText("cannot send to " + where_));
  }
}

void JunkSender::AfterDatagram() {
  for (int i = 0; i < per_datagram_; ++i, ++index_) {
    const bool complete = index_ % 2 == 0;
    std::vector<uint8_t> d(complete ? 10 : 12, 'j');
    StreamPacketHeader h{true, complete, static_cast<uint16_t>(d.size()), index_ * 2654435761u,
                         static_cast<uint16_t>(complete ? 0 : 1)};
    h.Write(d.data());
    if (socket_.Send(d)) ++sent_;
  }
}

}  // namespace pellion_send
