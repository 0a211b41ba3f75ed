// MetaUdpServer: the process's receiver of the video stream. It checks and parses each
// datagram, rebuilds frames and emits every complete frame on sig_vframe_.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "StreamSources.h"
#include "VFrameBuffer.h"
#include "network/NorvNetUDT.h"
#include "sigslot/sigslot.h"

class MetaUdpServer {
 public:
  using FrameSignal = NORV::sHelper::sigslot::signal2<uint32_t, const std::string&>;

  MetaUdpServer();
  explicit MetaUdpServer(NORV::sNetwork::NorvNetUDT::Options options);
  ~MetaUdpServer();

  // The process's one receiver, made on first use.
  static std::shared_ptr<MetaUdpServer> GetInstance();

  // Channel worker thread. Registers with the transport (once) and listens on `port` on every
  // local address; returns whether it listens.
  bool StartListen(int port);
  void StopListen();
  bool running() const { return running_.load(); }
  // The UDP port bound by the last successful StartListen.
  int listen_port() const { return listen_port_.load(); }

  // The transport's observer callback; runs on its one delivery thread.
  void OnRead(const std::string& ip, int port, const std::string& data);

  // Emitted on the delivery thread with (frame index, frame bytes); slots copy what they keep.
  FrameSignal sig_vframe_;

  // When the frame now being emitted arrived, in platform::NowMicros: its first datagram, and
  // its last one, which completed it.
  struct FrameTimes {
    uint32_t frame_index = 0;
    int64_t first_datagram_us = 0;
    int64_t complete_us = 0;
  };
  // Only inside a slot of sig_vframe_, on the delivery thread: the times of the frame being
  // emitted, when its index is `frame_index`; nullopt when no emission is under way. The
  // signal itself carries only index and bytes.
  std::optional<FrameTimes> EmittingFrameTimes(uint32_t frame_index) const;

  NORV::sNetwork::NorvNetUDT& transport() { return transport_; }

 private:
  std::atomic<bool> running_{false};
  std::atomic<int> listen_port_{0};
  // Bumped by StartListen: the delivery thread then forgets every source.
  std::atomic<uint64_t> generation_{0};

  // Set by the delivery thread for the length of one emission.
  const FrameTimes* emitting_ = nullptr;

  void CountPacket(uint32_t now);
  void Emit(const VFrameBuffer& buffer, uint32_t now);

  // Delivery thread only.
  uint64_t seen_generation_ = 0;
  StreamSources sources_;
  bool rate_started_ = false;
  uint32_t last_rate_tick_ = 0;
  uint32_t full_frames_ = 0;
  uint32_t last_packs_tick_ = 0;
  uint64_t packs_ = 0;
  uint64_t other_datagrams_ = 0;
  uint64_t withheld_frames_ = 0;
  uint64_t reported_duplicates_ = 0;
  std::string frame_;

  // Last, so destroyed first: its delivery thread, which runs OnRead, is joined before the
  // buffer and counters that OnRead uses go.
  NORV::sNetwork::NorvNetUDT transport_;
};
