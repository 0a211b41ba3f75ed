#include "request_listener.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <system_error>

#include "basics.h"
#include "pellion/keyframe_link.h"

namespace pellion_send {

using pellion_tools::UniqueFd;

namespace {

std::string PeerName(const sockaddr_storage& addr, socklen_t len) {
  char host[NI_MAXHOST] = {}, port[NI_MAXSERV] = {};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host, sizeof host, port,
                  sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "a peer";
  return std::string(host) + ":" + port;
}

}  // namespace

RequestListener::RequestListener(const std::string& bind_host, int port) : chunk_(kReadChunk) {
  Listen(bind_host, port);
  poller_.Add(listen_fd_.get());
  thread_ = std::thread([this] { Loop(); });
}

RequestListener::~RequestListener() {
  poller_.Wake();
  thread_.join();
}

void RequestListener::Listen(const std::string& bind_host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(bind_host.c_str(), std::to_string(port).c_str(), &hints, &res);
  if (rc != 0)
    throw RuntimeError("cannot resolve the request address " + bind_host + ": " + gai_strerror(rc));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(res, freeaddrinfo);
  where_ = bind_host + ":" + std::to_string(port);
  std::string error;
  for (addrinfo* a = res; a != nullptr && !listen_fd_.valid(); a = a->ai_next) {
    UniqueFd fd(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
      error = ErrnoText("socket");
      continue;
    }
    int one = 1;
    // A sender restarted at once must get its port back from connections in TIME_WAIT.
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd.get(), a->ai_addr, a->ai_addrlen) == 0 && listen(fd.get(), 16) == 0)
      listen_fd_ = std::move(fd);
    else
      error = ErrnoText("bind");
  }
  if (!listen_fd_.valid())
    throw RuntimeError("cannot listen for key-frame requests on " + where_ + " (" + error +
                       "); use another --request-port, or 0 for none");
}

std::vector<int64_t> RequestListener::Take() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(pending_, {});
}

void RequestListener::Loop() {
  try {
    Serve();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "pellion-send: %s; no more key-frame requests\n", e.what());
  }
  peers_.clear();
}

void RequestListener::Serve() {
  int64_t accept_again_ns = pellion_tools::Poller::kNoDeadline;  // while out of descriptors
  for (;;) {
    pellion_tools::Poller::Result r = poller_.Wait(accept_again_ns);
    if (r.woken) return;
    if (NowNs() >= accept_again_ns) {
      poller_.Mute(listen_fd_.get(), false);
      accept_again_ns = pellion_tools::Poller::kNoDeadline;
    }
    for (int fd : r.ready) {
      if (fd == listen_fd_.get()) {
        if (Accept()) continue;
        // Out of descriptors: accepting pauses a moment rather than spin.
        poller_.Mute(fd, true);
        accept_again_ns = NowNs() + kSecondNs / 10;
        continue;
      }
      auto peer = std::find_if(peers_.begin(), peers_.end(),
                               [fd](const Peer& p) { return p.fd.get() == fd; });
      if (peer != peers_.end() && !Read(&*peer)) {
        poller_.Remove(fd);
        peers_.erase(peer);
      }
    }
  }
}

// False when out of descriptors.
bool RequestListener::Accept() {
  for (;;) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    UniqueFd fd(accept4(listen_fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len,
                        SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.valid()) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
      std::fprintf(stderr, "pellion-send: request link: %s\n", ErrnoText("accept").c_str());
      return false;
    }
    std::string name = PeerName(addr, len);
    if (peers_.size() >= kMaxPeers) {
      std::fprintf(stderr, "pellion-send: request link: %zu peers already; refusing %s\n",
                   peers_.size(), name.c_str());
      continue;
    }
    std::fprintf(stderr, "pellion-send: request link: %s connected\n", name.c_str());
    poller_.Add(fd.get());
    peers_.push_back({std::move(fd), std::move(name), {}});
  }
}

// False when the peer is to be dropped: closed, failed or broken.
bool RequestListener::Read(Peer* p) {
  ssize_t n = recv(p->fd.get(), chunk_.data(), chunk_.size(), 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
    std::fprintf(stderr, "pellion-send: request link: %s: %s; disconnected\n", p->name.c_str(),
                 std::strerror(errno));
    return false;
  }
  if (n == 0) {
    std::fprintf(stderr, "pellion-send: request link: %s disconnected\n", p->name.c_str());
    return false;
  }
  p->buffer.append(reinterpret_cast<const char*>(chunk_.data()), static_cast<size_t>(n));
  std::vector<pellion::LinkMessage> messages;
  const bool ok = pellion::DecodeLinkMessages(&p->buffer, &messages);
  std::vector<int64_t> times;
  for (const pellion::LinkMessage& m : messages) {
    if (m.code == 0) {
      times.push_back(NowNs() / 1000);
      std::fprintf(stderr, "pellion-send: key-frame request from %s\n", p->name.c_str());
      continue;
    }
    ++unknown_;
    if (!p->told_unknown)
      std::fprintf(stderr,
                   "pellion-send: request link: %s sent code %" PRIu32 "; ignoring such messages\n",
                   p->name.c_str(), m.code);
    p->told_unknown = true;
  }
  if (!times.empty()) {
    requests_ += times.size();
    std::lock_guard<std::mutex> lock(mu_);
    pending_.insert(pending_.end(), times.begin(), times.end());
  }
  if (!ok)
    std::fprintf(stderr,
                 "pellion-send: request link: %s announced a body over %" PRIu32
                 " bytes; disconnected\n",
                 p->name.c_str(), pellion::kMaxLinkBody);
  return ok;
}

}  // namespace pellion_send
