// The whole channel in this process: pellion-send over loopback into the receiver, its trace,
// and the latency from a frame's last datagram to a reader waking on it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_clips.h"
#include "bench_publisher.h"
#include "bench_reader.h"

class MetaUdpServer;

namespace bench {

// The process's receiver listening on a port of the system's choosing while this lives.
class ListeningReceiver {
 public:
  ListeningReceiver();  // says on stderr when it does not listen
  ~ListeningReceiver();
  ListeningReceiver(const ListeningReceiver&) = delete;
  ListeningReceiver& operator=(const ListeningReceiver&) = delete;
  bool ok() const { return ok_; }
  int port() const;

 private:
  std::shared_ptr<MetaUdpServer> server_;
  bool ok_ = false;
};

// A frame of pellion-send's --trace.
struct TraceFrame {
  uint32_t index;
  int64_t last_datagram_us;
};

struct Sent {
  bool ok = false;
  std::vector<TraceFrame> trace;
};

// Sends the clip `loops` times at `fps` (at most 1000; 0: as fast as pellion-send goes) to the
// receiver and waits until the last frame is out (or a few seconds passed).
Sent SendThrough(const Clip& clip, int port, double fps, int loops, CountingPublisher* out,
                 const Scratch& scratch);

// Pictures/s of the whole channel, the clip sent `loops` times at `fps` (0: as fast as
// pellion-send goes) into a fresh decoder thread of the process's decoder (set its threads first)
// whose queue holds every frame, so that a sender ahead of the decoder loses nothing. Timed from
// the first picture's publication to the last's over the pictures after the first: the first
// carries opening the decoder, as the ffmpeg command's one-frame run does. -1 when a frame was
// lost or not published.
double ChannelRate(const Clip& clip, int port, int loops, double fps, FramePublisher* section,
                   const Scratch& scratch);

// Sends the clip `loops` times at 30 fps through the channel. Per frame sent, the ms from its
// last datagram leaving the sender (its --trace, CLOCK_MONOTONIC) to the reader waking on its
// event; -1 for one the reader never saw. Empty when sending failed.
std::vector<double> PacedLatencies(const Clip& clip, int port, int loops, CountingPublisher* out,
                                   Reader* reader, const Scratch& scratch,
                                   const std::string& label);

}  // namespace bench
