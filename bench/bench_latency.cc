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
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MetaUdpServer.h"
#include "VStreamDecoderThread.h"
#include "bench_media.h"
#include "pellion/frame_section.h"
#include "video_decoder.h"

namespace {

using bench::Clip;
using bench::ClipSpec;

const std::vector<std::string> kX264 = {"-c:v", "libx264", "-tune", "zerolatency", "-g",
                                        "30",   "-bf",     "0",     "-f",          "h264"};
const std::vector<std::string> kX265 = {
    "-c:v",    "libx265",   "-tune",        "zerolatency",
    "-preset", "ultrafast", "-x265-params", "bframes=0:keyint=30:log-level=error",
    "-f",      "hevc"};

const std::vector<std::string> kX264Bframes = {"-c:v",        "libx264", "-profile:v", "high",
                                               "-g",          "30",      "-bf",        "3",
                                               "-b_strategy", "0",       "-f",         "h264"};
const std::vector<std::string> kX265Default = {
    "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "keyint=30:log-level=error",
    "-f",   "hevc"};

struct TraceFrame {
  uint32_t index;
  int64_t last_datagram_us;
};

std::vector<TraceFrame> ReadTrace(const bench::fs::path& path) {
  std::vector<TraceFrame> frames;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    TraceFrame t{};
    uint64_t au = 0;
    int key = 0;
    if (f >> t.index >> au >> key >> t.last_datagram_us) frames.push_back(t);
  }
  return frames;
}

// A host's reader on a thread of its own: wakes on the event, notes when, copies the picture.
class Reader {
 public:
  Reader() {
    if (!reader_.Open(bench::kSectionName, bench::kEventName)) return;
    while (reader_.Wait(0)) {
    }
    thread_ = std::thread([this] { Loop(); });
  }
  ~Reader() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return thread_.joinable(); }
  // Frame index -> when a reader first woke on it.
  std::map<uint32_t, int64_t> Woken() {
    std::lock_guard<std::mutex> lock(mu_);
    return woken_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    woken_.clear();
  }

 private:
  void Loop() {
    pellion::FrameHeader h;
    std::vector<uint8_t> picture;
    while (!stop_) {
      if (!reader_.Wait(50)) continue;
      const int64_t now = bench::NowUs();
      if (!reader_.Read(&h, &picture)) continue;
      std::lock_guard<std::mutex> lock(mu_);
      woken_.try_emplace(h.frame_index, now);
    }
  }

  pellion::FrameReader reader_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::map<uint32_t, int64_t> woken_;
  std::thread thread_;
};

// Each frame of the clip decoded alone (after its predecessors), in milliseconds (-1: failed):
// sending it and converting what pictures the decoder then gives; `frames` in all, the clip
// over and over. The first one includes opening the decoder. A decoder that holds pictures back
// adds no work here, only the wait for later frames.
std::vector<double> DecodeTimes(const Clip& clip, int frames) {
  VideoDecoder& decoder = ProcessVideoDecoder();
  decoder.Reset();
  std::vector<double> ms(static_cast<size_t>(frames), -1);
  std::vector<uint8_t> picture;
  for (int i = 0; i < frames; ++i) {
    std::string unit = clip.Unit(static_cast<size_t>(i));
    FrameInfo info;
    int64_t t0 = bench::NowUs();
    bool ok = decoder.Send(reinterpret_cast<const uint8_t*>(unit.data()), unit.size(), i, &info);
    DecodedPicture p;
    while (ok && decoder.Receive(&p) == ReceiveStatus::kPicture) ok = decoder.ConvertTo(&picture);
    int64_t t1 = bench::NowUs();
    if (ok) ms[static_cast<size_t>(i)] = static_cast<double>(t1 - t0) / 1000;
  }
  decoder.Reset();
  return ms;
}

struct Sent {
  bool ok = false;
  std::vector<TraceFrame> trace;
};

// Sends the clip `loops` times at `fps` to the receiver and waits until the last frame is out
// (or a few seconds passed).
Sent SendThrough(const Clip& clip, int port, double fps, int loops, bench::CountingPublisher* out,
                 const bench::Scratch& scratch) {
  Sent s;
  bench::fs::path trace = scratch.dir() / "trace";
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.3f", fps);
  int rc = bench::Run({PELLION_BENCH_SEND, clip.path.string(), "--host", "127.0.0.1", "--port",
                       std::to_string(port), "--fps", rate, "--loop", std::to_string(loops),
                       "--trace", trace.string(), "--request-port", "0"});
  if (rc != 0) {
    std::fprintf(stderr, "bench: pellion-send exited with %d\n", rc);
    return s;
  }
  s.trace = ReadTrace(trace);
  s.ok = !s.trace.empty();
  out->WaitFor(s.trace.size(), 3000);
  return s;
}

struct Case {
  const char* label;
  ClipSpec spec;
  int frames;  // at least, for the percentiles and rates
};

bool RunCase(const Case& c, int port, FramePublisher* section, Reader* reader,
             const bench::Scratch& scratch) {
  Clip clip;
  bench::fs::path path = bench::FindClip(c.spec, scratch);
  if (path.empty() || !bench::LoadClip(path, &clip)) {
    std::fprintf(stderr, "bench: no clip %s\n", c.spec.name.c_str());
    return false;
  }
  const int units = static_cast<int>(clip.units.size());
  const int loops = (c.frames + units - 1) / units;
  const int frames = loops * units;

  // The same frames decoded alone first: the process has one decoder.
  std::vector<double> decode = DecodeTimes(clip, frames);

  bench::CountingPublisher counter(section);
  VStreamDecoderThread thread(nullptr, &counter, VStreamDecoderThread::Limits());
  if (!thread.StartDecoding()) return false;

  reader->Clear();
  Sent paced = SendThrough(clip, port, 30, loops, &counter, scratch);
  std::map<uint32_t, int64_t> woken = reader->Woken();
  // Steady state after two seconds and at least one pass of the clip: the first frame opens
  // the decoder, and at 4K the frames queued behind it take over a second to catch up. The
  // first picture is reported apart.
  const size_t warm_up = std::max<size_t>(static_cast<size_t>(units), 60);
  std::vector<double> latency, alone;
  double first = -1;
  size_t seen = 0;
  for (size_t i = 0; i < paced.trace.size() && i < decode.size(); ++i) {
    auto w = woken.find(paced.trace[i].index);
    if (w == woken.end()) continue;
    ++seen;
    double ms = static_cast<double>(w->second - paced.trace[i].last_datagram_us) / 1000;
    if (i == 0) first = ms;
    if (i < warm_up || decode[i] < 0) continue;
    latency.push_back(ms);
    alone.push_back(decode[i]);
  }
  if (seen < paced.trace.size())
    std::fprintf(stderr, "bench: %s: the reader saw %zu of %zu frames\n", c.label, seen,
                 paced.trace.size());

  // Sustained: the highest pace, from ffmpeg's own rate down, at which every frame is
  // published. A frame dropped at the full queue costs the rest of its key-frame interval,
  // so a pace the channel cannot hold shows at once.
  double ffmpeg = bench::FfmpegFps(bench::Repeated(clip, loops, scratch), frames);
  double channel = 0;
  for (double pace = ffmpeg; ffmpeg > 0 && pace >= ffmpeg * 0.5; pace *= 0.9) {
    counter.Reset();
    const uint64_t dropped = thread.dropped_frames();
    Sent fast = SendThrough(clip, port, std::min(pace, 1000.0), loops, &counter, scratch);
    if (!fast.ok) break;
    if (counter.count() == fast.trace.size()) {
      channel = counter.Rate();
      break;
    }
    std::fprintf(stderr, "bench: %s: %llu of %zu frames published at %.0f fps (%llu dropped)\n",
                 c.label, static_cast<unsigned long long>(counter.count()), fast.trace.size(), pace,
                 static_cast<unsigned long long>(thread.dropped_frames() - dropped));
  }
  thread.StopDecoding();
  reset_video_decoder();

  const std::string name = std::string("_") + c.label;
  bench::Line("latency_p50" + name, bench::Percentile(latency, 50), "ms",
              bench::Percentile(alone, 50));
  bench::Line("latency_p99" + name, bench::Percentile(latency, 99), "ms",
              bench::Percentile(alone, 99));
  bench::Line("latency_first_picture" + name, first, "ms", decode.empty() ? 0 : decode[0]);
  bench::Line("channel_fps" + name, channel, "frames/s", ffmpeg);
  return paced.ok && !latency.empty() && channel > 0;
}

}  // namespace

int main() {
  bench::Scratch scratch;
  bench::UnlinkOwnNames();
  int status = 0;
  {
    ShareMemVFrame section(bench::kSectionName, bench::kEventName);
    auto receiver = MetaUdpServer::GetInstance();
    if (!receiver->StartListen(0)) {
      std::fprintf(stderr, "bench: the receiver does not listen\n");
      return 1;
    }
    Reader reader;
    if (!reader.ok()) {
      std::fprintf(stderr, "bench: cannot open the section\n");
      return 1;
    }
    std::vector<std::string> x264_fast = kX264;
    x264_fast.insert(x264_fast.end() - 2, {"-preset", "veryfast"});
    const std::vector<Case> cases = {
        {"1080p30_h264", {"h264_1920x1080.h264", "1920x1080", 30, kX264}, 180},
        {"1080p30_hevc", {"hevc_1920x1080.h265", "1920x1080", 30, kX265}, 180},
        {"4k30_h264", {"h264_3840x2160.h264", "3840x2160", 30, x264_fast}, 180},
        {"4k30_hevc", {"hevc_3840x2160.h265", "3840x2160", 10, kX265}, 180},
        // Decoders that hold pictures back: the latency adds the reorder delay's frames.
        {"1080p30_h264_bpyramid",
         {"h264_bpyramid_1920x1080.h264", "1920x1080", 30, kX264Bframes},
         180},
        {"1080p30_hevc_opengop",
         {"hevc_opengop_1920x1080.h265", "1920x1080", 30, kX265Default},
         180},
    };
    for (const Case& c : cases)
      if (!RunCase(c, receiver->listen_port(), &section, &reader, scratch)) status = 1;
    receiver->StopListen();
  }
  bench::UnlinkOwnNames();
  return status;
}
