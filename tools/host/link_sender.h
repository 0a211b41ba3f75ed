// The host's sender: SendMsg only queues (it runs on the plug-in's decoder thread, which must
// never wait for a network); a thread of its own connects, reconnects and sends.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "pellion/keyframe_link.h"
#include "pellion/pellion.h"

namespace pellion_tools {

class LinkSender : public ITcpOper {
 public:
  LinkSender(std::string host, int port) : host_(std::move(host)), port_(port) {
    thread_ = std::thread([this] { Run(); });
  }
  ~LinkSender() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
    if (fd_ >= 0) close(fd_);
  }

  int32_t SendMsg(uint32_t code, const void* body, uint32_t length) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      // Only the newest request of a code waits: one key-frame request answers many.
      pending_[code] = std::string(static_cast<const char*>(body), body != nullptr ? length : 0);
    }
    ++requests_;
    cv_.notify_all();
    return 0;
  }
  int requests() const { return requests_.load(); }
  int sent() const { return sent_.load(); }
  bool connected() const { return connected_.load(); }

 private:
  bool Connect() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    if (inet_pton(AF_INET, host_.c_str(), &a.sin_addr) != 1) {
      close(fd);
      return false;
    }
    int r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    if (r != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int err = 0;
      socklen_t len = sizeof(err);
      r = poll(&p, 1, 1000) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
                  err == 0
              ? 0
              : -1;
    }
    if (r != 0) {
      close(fd);
      return false;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    fd_ = fd;
    connected_ = true;
    return true;
  }

  bool SendAll(const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
      ssize_t n = send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n > 0) {
        off += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 1000) == 1) continue;
      }
      return false;
    }
    return true;
  }

  void Disconnect() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    connected_ = false;
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!quit_) {
      if (pending_.empty()) {
        cv_.wait(lock, [this] { return quit_ || !pending_.empty(); });
        continue;
      }
      std::map<uint32_t, std::string> batch;
      batch.swap(pending_);
      lock.unlock();
      bool ok = fd_ >= 0 || Connect();
      for (auto it = batch.begin(); ok && it != batch.end();) {
        ok = SendAll(pellion::EncodeLinkMessage(it->first, it->second.data(),
                                                static_cast<uint32_t>(it->second.size())));
        if (ok) {
          ++sent_;
          it = batch.erase(it);
        }
      }
      lock.lock();
      if (!ok) {
        Disconnect();
        // Unsent requests wait for the next try, unless a newer one of the code came.
        for (auto& [code, body] : batch) pending_.try_emplace(code, body);
        cv_.wait_for(lock, std::chrono::milliseconds(pellion::kReconnectIntervalMs),
                     [this] { return quit_; });
      }
    }
  }

  const std::string host_;
  const int port_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<uint32_t, std::string> pending_;
  bool quit_ = false;
  int fd_ = -1;  // sender thread only
  std::atomic<bool> connected_{false};
  std::atomic<int> requests_{0}, sent_{0};
  std::thread thread_;
};

}  // namespace pellion_tools
