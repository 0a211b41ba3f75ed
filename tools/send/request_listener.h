// Listens for the host's key-frame request link on a thread of its own; the sending loop
// collects what came in between frames. Any number of peers, each read without blocking, so
// a silent or broken peer holds nobody up.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/poller.h"
#include "common/unique_fd.h"

namespace pellion_send {

class RequestListener {
 public:
  // Binds at once, so a port in use fails before anything is sent.
  RequestListener(const std::string& bind_host, int port);
  ~RequestListener();
  RequestListener(const RequestListener&) = delete;
  RequestListener& operator=(const RequestListener&) = delete;

  // Receive times (monotonic microseconds) of the key-frame requests since the last call.
  std::vector<int64_t> Take();
  uint64_t requests() const { return requests_.load(); }
  uint64_t unknown() const { return unknown_.load(); }
  const std::string& where() const { return where_; }

 private:
  static constexpr size_t kMaxPeers = 64;
  static constexpr size_t kReadChunk = 64 * 1024;

  struct Peer {
    pellion_tools::UniqueFd fd;
    std::string name;
    std::string buffer;
    bool told_unknown = false;
  };

  void Listen(const std::string& bind_host, int port);
  void Loop();
  void Serve();
  bool Accept();
  bool Read(Peer* p);

  std::string where_;
  pellion_tools::UniqueFd listen_fd_;
  pellion_tools::Poller poller_;
  std::vector<Peer> peers_;  // the listener thread's own
  std::vector<uint8_t> chunk_;
  std::thread thread_;
  std::mutex mu_;
  std::vector<int64_t> pending_;
  std::atomic<uint64_t> requests_{0}, unknown_{0};
};

}  // namespace pellion_send
