// Slice threads against one thread, on clips whose pictures split (HEVC in wavefronts, H.264 in
// four slices) and on one that does not (H.264 in one slice). "slices" decodes with a thread per
// usable core (at most kMaxSliceThreads), "single" with one thread.
//   threads_fps_<clip>_<mode>: pictures/s through the real decoder thread, frames posted as fast
//       as its queue takes them; slices against `ffmpeg -threads N -thread_type slice -i clip
//       -pix_fmt nv12 -f null -` (the same N), single against `ffmpeg -threads 1`.
//       _slices_vs_ffmpeg1: slices against `ffmpeg -threads 1`; _slices_vs_single: against ours.
//   threads_cpu_ms_<clip>_<mode>: user and system time per picture, all threads, against
//       ffmpeg's with the same threads.
//   threads_latency_p50/p99_<clip>_<mode>: the whole channel paced at 30 fps by pellion-send,
//       from a frame's last datagram to a reader waking on its event, against the frame decoded
//       alone on one thread (one frame after the other); _slices_vs_single against ours on one
//       thread.
//   threads_decode_paced_p50_<clip>_<mode>: a frame decoded alone, the frames started at 30 fps
//       as the channel gets them: slices_vs_single against one thread at that pace, single
//       against one thread decoding one frame after the other.
// The first line, a comment, gives the usable cores.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "VStreamDecoderThread.h"
#include "bench_channel.h"
#include "bench_clips.h"
#include "bench_decoding.h"
#include "bench_stats.h"
#include "platform/thread.h"
#include "video_decoder.h"

namespace {

using bench::Case;
using bench::Clip;

constexpr int kPacedFrames = 180;

// Prints a figure's line and notes whether the value and its baseline were measured.
using LineFn = std::function<void(const std::string&, double, const char*, double)>;

// Latencies of the paced channel with a fresh decoder thread whose decoder has `threads`.
std::vector<double> ChannelLatencies(const Clip& clip, int threads, int loops, int port,
                                     FramePublisher* section, bench::Reader* reader,
                                     const bench::Scratch& scratch, const std::string& label) {
  ProcessVideoDecoder().set_threads(threads);
  reset_video_decoder();
  bench::CountingPublisher counter(section);
  std::vector<double> ms;
  {
    VStreamDecoderThread thread(nullptr, &counter, VStreamDecoderThread::Limits());
    if (thread.StartDecoding()) {
      ms = bench::PacedLatencies(clip, port, loops, &counter, reader, scratch, label);
      thread.StopDecoding();
    }
  }
  reset_video_decoder();
  ProcessVideoDecoder().set_threads(0);
  return bench::After(ms, bench::WarmUp(clip));
}

// Rates and CPU times: the decoder thread with slice threads and with one, against ffmpeg with
// the same threads, on whole passes of the clip so that both decode the same frames.
void RateFigures(const Clip& clip, int frames, int threads, const std::string& name,
                 FramePublisher* section, const bench::Scratch& scratch, const LineFn& line) {
  const int passes = bench::Passes(frames, clip);
  const int whole = passes * static_cast<int>(clip.units.size());
  const bench::fs::path repeated = bench::Repeated(clip, passes, scratch);
  const bench::Rate ffmpeg_single = bench::FfmpegRate(repeated, whole, 1);
  const bench::Rate ffmpeg_slices = bench::FfmpegRate(repeated, whole, threads);
  ProcessVideoDecoder().set_threads(threads);
  const bench::Rate slices = bench::DecoderThreadRate(clip, whole, section);
  ProcessVideoDecoder().set_threads(1);
  const bench::Rate single = bench::DecoderThreadRate(clip, whole, section);
  ProcessVideoDecoder().set_threads(0);
  line("threads_fps" + name + "_slices", slices.fps, "frames/s", ffmpeg_slices.fps);
  line("threads_fps" + name + "_slices_vs_ffmpeg1", slices.fps, "frames/s", ffmpeg_single.fps);
  line("threads_fps" + name + "_single", single.fps, "frames/s", ffmpeg_single.fps);
  line("threads_fps" + name + "_slices_vs_single", slices.fps, "frames/s", single.fps);
  line("threads_cpu_ms" + name + "_slices", slices.cpu_ms, "ms", ffmpeg_slices.cpu_ms);
  line("threads_cpu_ms" + name + "_single", single.cpu_ms, "ms", ffmpeg_single.cpu_ms);
}

// Frames decoded alone and the paced channel, with slice threads and with one. False when a
// set of latencies came out empty.
bool LatencyFigures(const Case& c, const Clip& clip, int threads, int port, FramePublisher* section,
                    const bench::Scratch& scratch, const LineFn& line) {
  const std::string name = std::string("_") + c.label;
  const int loops = bench::Passes(kPacedFrames, clip);
  const int paced_frames = loops * static_cast<int>(clip.units.size());
  auto alone = [&](int threads, double fps) {
    return bench::After(bench::DecodeTimes(clip, paced_frames, threads, fps), bench::WarmUp(clip));
  };
  const std::vector<double> alone_single = alone(1, 0);
  // At 30 fps the decoder waits between frames, and its threads sleep.
  const std::vector<double> paced_alone_slices = alone(threads, 30);
  const std::vector<double> paced_alone_single = alone(1, 30);
  line("threads_decode_paced_p50" + name + "_slices_vs_single",
       bench::Percentile(paced_alone_slices, 50), "ms", bench::Percentile(paced_alone_single, 50));
  line("threads_decode_paced_p50" + name + "_single", bench::Percentile(paced_alone_single, 50),
       "ms", bench::Percentile(alone_single, 50));
  // Opened only now: a reader copying every picture would add to the CPU time above.
  bench::Reader reader;
  if (!reader.ok()) {
    std::fprintf(stderr, "bench: cannot open the section\n");
    return false;
  }
  const std::vector<double> paced_slices =
      ChannelLatencies(clip, threads, loops, port, section, &reader, scratch, c.label);
  const std::vector<double> paced_single =
      ChannelLatencies(clip, 1, loops, port, section, &reader, scratch, c.label);
  for (double p : {50.0, 99.0}) {
    const std::string figure = "threads_latency_p" + std::to_string(static_cast<int>(p)) + name;
    const double s = bench::Percentile(paced_slices, p), one = bench::Percentile(paced_single, p);
    line(figure + "_slices", s, "ms", bench::Percentile(alone_single, p));
    line(figure + "_single", one, "ms", bench::Percentile(alone_single, p));
    line(figure + "_slices_vs_single", s, "ms", one);
  }
  return !alone_single.empty() && !paced_slices.empty() && !paced_single.empty();
}

bool RunCase(const Case& c, int threads, int port, FramePublisher* section,
             const bench::Scratch& scratch) {
  Clip clip;
  if (!bench::GetClip(c.recipe, scratch, &clip)) return false;
  bool ok = true;
  const LineFn line = [&](const std::string& figure, double value, const char* unit,
                          double baseline) {
    bench::Line(figure, value, unit, baseline);
    ok = ok && value > 0 && baseline > 0;
  };
  RateFigures(clip, c.frames, threads, std::string("_") + c.label, section, scratch, line);
  // Evaluated apart: && would skip the latencies after a failed rate.
  const bool latencies = LatencyFigures(c, clip, threads, port, section, scratch, line);
  return ok && latencies;
}

}  // namespace

int main() {
  const int cores = platform::UsableCores();
  const int threads = std::clamp(cores, 1, kMaxSliceThreads);
  std::printf("# bench_threads: %d usable cores, %d slice threads\n", cores, threads);
  std::fflush(stdout);

  bench::Scratch scratch;
  bench::OwnSection section;
  bench::ListeningReceiver receiver;
  if (!receiver.ok()) return 1;
  // Named apart from the build's clips, which are made with other settings. Frames for the
  // rates; the latency takes kPacedFrames.
  const std::vector<Case> cases = {
      {"1080p_hevc_wpp", {"threads_hevc_wpp_1920x1080.h265", "1920x1080", 30, bench::kX265}, 300},
      {"4k_hevc_wpp", {"threads_hevc_wpp_3840x2160.h265", "3840x2160", 30, bench::kX265}, 120},
      {"1080p_h264_4slices",
       {"threads_h264_slices4_1920x1080.h264", "1920x1080", 30, bench::X264(4)},
       300},
      {"4k_h264_4slices",
       {"threads_h264_slices4_3840x2160.h264", "3840x2160", 30, bench::X264(4, "veryfast")},
       120},
      {"1080p_h264_1slice",
       {"threads_h264_slices1_1920x1080.h264", "1920x1080", 30, bench::X264(1)},
       300},
  };
  int status = 0;
  for (const Case& c : cases)
    if (!RunCase(c, threads, receiver.port(), section.get(), scratch)) status = 1;
  return status;
}
