// One-datagram frames at a stream's pace to a loopback port, for tests that need a receiver kept
// busy without a real clip.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "StreamPacketHeader.h"
#include "common/stream_packet.h"
#include "platform/udp_socket.h"

namespace testing_util {

// Sends to 127.0.0.1:`port` (nothing while it is 0) from a thread that stops and is joined at
// destruction, so a failed assertion leaves nothing running.
class FrameStream {
 public:
  FrameStream() {
    socket_.Open();
    socket_.Bind("127.0.0.1", 0);
    thread_ = std::thread([this] {
      uint32_t idx = 1;
      while (!stop_) {
        // Each frame looks like a stream start, so whichever is first makes this the source.
        std::string d = Packet(idx++, 0, true, kStreamStart);
        if (int p = port.load(); p != 0) socket_.SendTo(d.data(), d.size(), "127.0.0.1", p);
        std::this_thread::sleep_for(std::chrono::microseconds(150));  // pace, not synchronisation
      }
    });
  }
  ~FrameStream() {
    stop_ = true;
    thread_.join();
  }
  FrameStream(const FrameStream&) = delete;
  FrameStream& operator=(const FrameStream&) = delete;

  std::atomic<int> port{0};

 private:
  platform::UdpSocket socket_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testing_util
