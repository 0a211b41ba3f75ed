// The sending loop: paces the source's frames, answers key-frame requests by jumping, leaves
// frames out or reorders them, and hands the datagrams to the impairments and the socket.
#pragma once

#include <signal.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "command_line.h"
#include "impairer.h"
#include "packetizer.h"
#include "request_listener.h"
#include "source.h"
#include "trace.h"
#include "udp.h"

namespace pellion_send {

// SIGINT and SIGTERM stay blocked and are collected here, so none is lost between a check
// and a sleep. Threads started later inherit the mask and leave the signals to this one.
class StopSignals {
 public:
  StopSignals();
  // Waits until `deadline_ns` (0: just looks); true once a stop signal has come.
  bool WaitUntil(int64_t deadline_ns);
  int signal() const { return signal_; }

 private:
  sigset_t set_;
  int signal_ = 0;
};

struct Counters {
  uint64_t frames = 0, datagrams = 0, bytes = 0, refused = 0;
};

class Sender {
 public:
  // Opens the source, the sockets, the trace and the request port; throws what fails.
  Sender(const Options& o, StopSignals& stop);
  // Sends to the end of the source, a limit or a stop signal; returns the exit code.
  int Run();

 private:
  // A frame's bytes kept to go later: the source's are valid only until its next frame.
  struct Kept {
    std::vector<uint8_t> bytes;
    bool key;
    uint32_t idx;
    uint64_t au;
    uint64_t after;  // sent once the frame at this position has had its turn
  };

  Reshuffle ResolveReshuffle() const;
  void CountDatagram(const std::vector<uint8_t>& d);
  bool WaitForSlot();
  void Report();
  bool TakeRequests();
  void Place(const Piece& piece, uint64_t au);
  void SendFrame(std::span<const uint8_t> data, bool key, uint32_t index, uint64_t au);
  void SendKept(std::optional<Kept>& k);
  void PrintCounts(const char* prefix, double rate) const;
  void PrintSummary(double secs) const;

  const Options& o_;
  StopSignals& stop_;
  OpenedSource opened_;
  // Per process, like an encoder's: a restarted sender hands out its parameter sets anew.
  ParameterSetShaper shaper_;
  Reshuffle reshuffle_;
  UdpSocket socket_;
  std::unique_ptr<JunkSender> junk_;
  Trace trace_;
  std::unique_ptr<RequestListener> listener_;
  Counters count_;
  Impairer imp_;

  double period_ns_ = 0;
  int64_t base_ = 0, next_report_ = 0, last_report_ = 0;
  uint64_t since_base_ = 0, bytes_at_report_ = 0;
  uint32_t idx_ = 0;
  uint64_t position_ = 0;  // of the next frame made, sent or not; what --drop and the rest count
  uint64_t left_out_ = 0, extra_ = 0;
  std::optional<Kept> swapped_, again_;
};

}  // namespace pellion_send
