// Reception throughput and burst loss on loopback.
//   reception_datagrams: datagrams/s through transport + reassembly + frame signal (null slot),
//                        against recvfrom alone on a bare socket in the same run.
//   burst_loss_*:        datagrams lost from 4K key-frame bursts (200 x 1400 bytes, back to
//                        back) while the slot is busy, with the system's default receive buffer
//                        and with the transport's larger one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "MetaUdpServer.h"
#include "StreamPacketHeader.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPayload = 1400;

std::vector<std::string> MakeFrames(uint32_t frames, int packets_per_frame, uint32_t first) {
  std::vector<std::string> out;
  std::string payload(kPayload, 'x');
  for (uint32_t f = 0; f < frames; ++f)
    for (int p = 0; p < packets_per_frame; ++p) {
      std::string d(8, '\0');
      StreamPacketHeader h{true, p + 1 == packets_per_frame, 8 + kPayload, first + f,
                           static_cast<uint16_t>(p)};
      h.Write(reinterpret_cast<uint8_t*>(d.data()));
      // Each frame opens with a sequence parameter set's header: the receiver takes this
      // sender as its source at once.
      std::string slice = payload;
      if (p == 0) slice.replace(0, 6, std::string("\0\0\0\1\x67\x42", 6));
      out.push_back(d + slice);
    }
  return out;
}

class Sender {
 public:
  explicit Sender(int port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    to_.sin_family = AF_INET;
    to_.sin_port = htons(static_cast<uint16_t>(port));
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~Sender() { close(fd_); }
  void Send(const std::string& d) {
    sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to_), sizeof(to_));
  }

 private:
  int fd_;
  sockaddr_in to_{};
};

// Sends in chunks, waiting while the receiver is more than `window` datagrams behind, so the
// figure is the receiver's pace, not the loss of an overrun socket.
template <typename Received>
double Pump(const std::vector<std::string>& datagrams, int port, Received received) {
  Sender s(port);
  const long window = 2000;
  auto start = Clock::now();
  for (size_t i = 0; i < datagrams.size(); ++i) {
    while (static_cast<long>(i) - received() > window) std::this_thread::yield();
    s.Send(datagrams[i]);
  }
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (received() < static_cast<long>(datagrams.size()) && Clock::now() < deadline)
    std::this_thread::yield();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return received() / seconds;
}

double BareRecvfrom(const std::vector<std::string>& datagrams) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int big = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  std::atomic<long> got{0};
  std::atomic<bool> stop{false};
  std::thread rx([&] {
    std::vector<char> buf(65536);
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) == 1 && recv(fd, buf.data(), buf.size(), 0) > 0) ++got;
    }
  });
  double rate = Pump(datagrams, ntohs(a.sin_port), [&] { return got.load(); });
  stop = true;
  rx.join();
  close(fd);
  return rate;
}

struct NullSlot : NORV::sHelper::sigslot::has_slots<> {
  std::atomic<long> frames{0};
  std::atomic<int> busy_us{0};
  void On(uint32_t, const std::string&) {
    ++frames;
    if (int us = busy_us.load()) std::this_thread::sleep_for(std::chrono::microseconds(us));
  }
};

double ThroughReceiver(const std::vector<std::string>& datagrams, int packets_per_frame) {
  MetaUdpServer server;
  NullSlot slot;
  server.sig_vframe_.connect(&slot, &NullSlot::On);
  server.StartListen(0);
  double rate =
      Pump(datagrams, server.listen_port(), [&] { return slot.frames.load() * packets_per_frame; });
  server.StopListen();
  return rate;
}

long BurstLoss(int receive_buffer, int bursts) {
  NORV::sNetwork::NorvNetUDT::Options options;
  options.receive_buffer_bytes = receive_buffer;
  MetaUdpServer server(options);
  NullSlot slot;
  slot.busy_us = 20000;  // a decoder slot that holds the delivery thread for 20 ms per frame
  server.sig_vframe_.connect(&slot, &NullSlot::On);
  server.StartListen(0);
  Sender s(server.listen_port());
  std::vector<std::string> all = MakeFrames(static_cast<uint32_t>(bursts), 200, 1);
  for (int b = 0; b < bursts; ++b) {
    for (int p = 0; p < 200; ++p) s.Send(all[static_cast<size_t>(b) * 200 + p]);
    std::this_thread::sleep_for(std::chrono::milliseconds(33));  // 30 key frames a second
  }
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (slot.frames.load() < bursts && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  server.StopListen();
  return static_cast<long>(bursts - slot.frames.load());
}

}  // namespace

int main() {
  std::vector<std::string> datagrams = MakeFrames(30000, 10, 1);
  double bare = BareRecvfrom(datagrams);
  double ours = ThroughReceiver(datagrams, 10);
  std::printf("reception_datagrams %.0f datagrams/s %.0f %.2f\n", ours, bare, ours / bare);
  int bursts = 30;
  long lost_default = BurstLoss(0, bursts);
  long lost_large = BurstLoss(4 << 20, bursts);
  std::printf("burst_loss_default_buffer %ld frames_lost_of_%d %d %.2f\n", lost_default, bursts,
              bursts, static_cast<double>(lost_default) / bursts);
  std::printf("burst_loss_large_buffer %ld frames_lost_of_%d %d %.2f\n", lost_large, bursts, bursts,
              static_cast<double>(lost_large) / bursts);
  return 0;
}
