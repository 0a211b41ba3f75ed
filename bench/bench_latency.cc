// The whole video channel, fed by pellion-send over loopback UDP: receiver, reassembly, decoder
// thread, section and event, read by a host's reader in this process.
//   latency_p50_*, latency_p99_*: from the last datagram of a frame leaving the sender (its
//       --trace, CLOCK_MONOTONIC) to a reader waking on that frame's event, paced at 30 fps;
//       against the time decode_video_frame alone takes for the same frames; steady state after
//       a warm-up, and the stream's first picture apart.
//   channel_fps_*: pictures/s the channel publishes at the highest pace (from the rate
//       `ffmpeg -threads 1` decodes the clip at, down in steps of 10%) at which it publishes
//       every frame, against that ffmpeg rate.
// The receiver listens on a port of the system's choosing and the section has a name of its
// own, so the benchmark runs beside a plug-in without disturbing it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "VStreamDecoderThread.h"
#include "bench_channel.h"
#include "bench_clips.h"
#include "bench_decoding.h"
#include "bench_stats.h"
#include "video_decoder.h"

namespace {

using bench::Case;
using bench::Clip;

const std::vector<std::string> kX264Bframes = {
    "-c:v", "libx264",     "-profile:v", "high",         "-g",       "30", "-bf",
    "3",    "-b_strategy", "0",          "-x264-params", "slices=1", "-f", "h264"};
const std::vector<std::string> kX265Default = {
    "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "keyint=30:log-level=error",
    "-f",   "hevc"};

// Sustained: the highest pace, from ffmpeg's own rate down, at which every frame is published.
// A frame dropped at the full queue costs the rest of its key-frame interval, so a pace the
// channel cannot hold shows at once. Pictures/s at that pace; 0 when none held.
double ChannelFps(const Case& c, const Clip& clip, double ffmpeg, int loops, int port,
                  VStreamDecoderThread& thread, bench::CountingPublisher& counter,
                  const bench::Scratch& scratch) {
  for (double pace = ffmpeg; ffmpeg > 0 && pace >= ffmpeg * 0.5; pace *= 0.9) {
    counter.Reset();
    const uint64_t dropped = thread.dropped_frames();
    bench::Sent fast = bench::SendThrough(clip, port, pace, loops, &counter, scratch);
    if (!fast.ok) break;
    if (counter.count() == fast.trace.size()) return counter.Rate();
    std::fprintf(stderr, "bench: %s: %llu of %zu frames published at %.0f fps (%llu dropped)\n",
                 c.label, static_cast<unsigned long long>(counter.count()), fast.trace.size(), pace,
                 static_cast<unsigned long long>(thread.dropped_frames() - dropped));
  }
  return 0;
}

bool RunCase(const Case& c, int port, FramePublisher* section, bench::Reader* reader,
             const bench::Scratch& scratch) {
  Clip clip;
  if (!bench::GetClip(c.recipe, scratch, &clip)) return false;
  const int loops = bench::Passes(c.frames, clip);
  const int frames = loops * static_cast<int>(clip.units.size());

  // The same frames decoded alone first: the process has one decoder.
  std::vector<double> decode = bench::DecodeTimes(clip, frames);

  bench::CountingPublisher counter(section);
  VStreamDecoderThread thread(nullptr, &counter, VStreamDecoderThread::Limits());
  if (!thread.StartDecoding()) return false;

  std::vector<double> paced =
      bench::PacedLatencies(clip, port, loops, &counter, reader, scratch, c.label);
  // Steady state after the warm-up; the stream's first picture apart.
  const double first = paced.empty() ? -1 : paced[0];
  const std::vector<double> latency = bench::After(paced, bench::WarmUp(clip));
  const std::vector<double> alone = bench::After(decode, bench::WarmUp(clip));

  double ffmpeg = bench::FfmpegRate(bench::Repeated(clip, loops, scratch), frames).fps;
  double channel = ChannelFps(c, clip, ffmpeg, loops, port, thread, counter, scratch);
  thread.StopDecoding();
  reset_video_decoder();

  const std::string name = std::string("_") + c.label;
  bench::Line("latency_p50" + name, bench::Percentile(latency, 50), "ms",
              bench::Percentile(alone, 50));
  bench::Line("latency_p99" + name, bench::Percentile(latency, 99), "ms",
              bench::Percentile(alone, 99));
  bench::Line("latency_first_picture" + name, first, "ms", decode.empty() ? 0 : decode[0]);
  bench::Line("channel_fps" + name, channel, "frames/s", ffmpeg);
  return !paced.empty() && !latency.empty() && channel > 0;
}

}  // namespace

int main() {
  bench::Scratch scratch;
  bench::OwnSection section;
  bench::ListeningReceiver receiver;
  if (!receiver.ok()) return 1;
  bench::Reader reader;
  if (!reader.ok()) {
    std::fprintf(stderr, "bench: cannot open the section\n");
    return 1;
  }
  const bench::StandardClips& clips = bench::Standard();
  const std::vector<Case> cases = {
      {"1080p30_h264", clips.h264_1080p, 180},
      {"1080p30_hevc", clips.hevc_1080p, 180},
      {"4k30_h264", clips.h264_4k, 180},
      {"4k30_hevc", clips.hevc_4k, 180},
      // Decoders that hold pictures back: the latency adds the reorder delay's frames.
      {"1080p30_h264_bpyramid",
       {"h264_bpyramid_1920x1080.h264", "1920x1080", 30, kX264Bframes},
       180},
      {"1080p30_hevc_opengop", {"hevc_opengop_1920x1080.h265", "1920x1080", 30, kX265Default}, 180},
  };
  int status = 0;
  for (const Case& c : cases)
    if (!RunCase(c, receiver.port(), section.get(), &reader, scratch)) status = 1;
  return status;
}
