// Slice threads against one thread, on clips whose pictures split (HEVC in wavefronts, H.264 in
// four slices) and on one that does not (H.264 in one slice). "slices" decodes with a thread per
// usable core (at most kMaxSliceThreads), "single" with one thread.
// Every rate is the median of R runs (5 unless --repeats), each of at least 300 frames, ffmpeg's
// as ours.
//   threads_fps_<clip>_<mode>: pictures/s through the real decoder thread, frames posted as fast
//       as its queue takes them; slices against `ffmpeg -threads N -thread_type slice -i clip
//       -pix_fmt nv12 -f null -` (the same N), single against `ffmpeg -threads 1`.
//       _slices_vs_ffmpeg1: slices against `ffmpeg -threads 1`; _slices_vs_single: against ours;
//       _slices_vs_ffmpeg_ft1: against the slices command with -filter_threads 1, whose
//       conversion to NV12 (a scale filter it inserts) then runs on one thread as ours does.
//   threads_channel_fps_<clip>_slices[_vs_ffmpeg1|_vs_ffmpeg_ft1]: the whole channel with slice
//       threads, pellion-send over loopback into the receiver and a decoder thread whose queue
//       holds every frame, paced at four times the fastest decoding rate above (unpaced, the
//       kernel drops datagrams at the receive buffer); pictures/s from the first publication to
//       the last (the first picture, which opens the decoder, left out as the command's
//       one-frame run is); against the same commands. A run that lost a frame fails the figure
//       (-1).
//   threads_cpu_ms_<clip>_<mode>: user and system time per picture, all threads, against
//       ffmpeg's with the same threads.
//   threads_latency_p50/p99_<clip>_<mode>: the whole channel paced at 30 fps by pellion-send,
//       from a frame's last datagram to a reader waking on its event, against the frame decoded
//       alone on one thread (one frame after the other); _slices_vs_single against ours on one
//       thread.
//   threads_decode_paced_p50_<clip>_<mode>: a frame decoded alone, the frames started at 30 fps
//       as the channel gets them: slices_vs_single against one thread at that pace, single
//       against one thread decoding one frame after the other.
// The first line, a comment, gives the usable cores. `bench_threads CASE_LABEL [--frames N]
// [--repeats R]` runs one case: the rates over N frames, the latencies over N after the warm-up.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "VStreamDecoderThread.h"
#include "bench_channel.h"
#include "bench_clips.h"
#include "bench_decoding.h"
#include "bench_options.h"
#include "bench_stats.h"
#include "platform/thread.h"
#include "video_decoder.h"

namespace {

using bench::Case;
using bench::Clip;

constexpr int kPacedFrames = 180;
// The whole channel's sender paced at this many times the clip's fastest decoding rate.
constexpr double kChannelPaceOverDecoding = 4;

// Prints a figure's line and notes whether the value and its baseline were measured.
using LineFn = std::function<void(const std::string&, double, const char*, double)>;

// What `f` returns with the process's decoder on `threads`, opened afresh, then back to the
// process's setting.
template <typename F>
auto WithThreads(int threads, F f) {
  ProcessVideoDecoder().set_threads(threads);
  reset_video_decoder();
  auto result = f();
  reset_video_decoder();
  ProcessVideoDecoder().set_threads(0);
  return result;
}

// Latencies of the paced channel with a fresh decoder thread whose decoder has `threads`.
std::vector<double> ChannelLatencies(const Clip& clip, int threads, int loops, int port,
                                     FramePublisher* section, bench::Reader* reader,
                                     const bench::Scratch& scratch, const std::string& label) {
  std::vector<double> ms = WithThreads(threads, [&] {
    bench::CountingPublisher counter(section);
    std::vector<double> out;
    VStreamDecoderThread thread(nullptr, &counter, VStreamDecoderThread::Limits());
    if (thread.StartDecoding()) {
      out = bench::PacedLatencies(clip, port, loops, &counter, reader, scratch, label);
      thread.StopDecoding();
    }
    return out;
  });
  return bench::After(ms, bench::WarmUp(clip));
}

// What a case measures with: the slice threads, R, the receiver's port, the section.
struct Setup {
  int threads;
  int repeats;
  int port;
  FramePublisher* section;
  const bench::Scratch* scratch;
};

// The command's rates on the frames the figures take: one thread, slice threads, and slice
// threads with one filter thread.
struct Anchors {
  bench::Rate single, slices, slices_ft1;
};

// Rates and CPU times: the decoder thread with slice threads and with one, and the whole channel
// with slice threads, against ffmpeg, on whole passes of the clip so that all decode the same
// frames.
void RateFigures(const Clip& clip, int frames, const Setup& s, const std::string& name,
                 const LineFn& line) {
  const int passes = bench::Passes(frames, clip);
  const int whole = passes * static_cast<int>(clip.units.size());
  const bench::fs::path repeated = bench::Repeated(clip, passes, *s.scratch);
  auto ffmpeg = [&](int threads, bool one_filter_thread) {
    return bench::FfmpegMedianRate(repeated, whole, {threads, one_filter_thread}, s.repeats);
  };
  const Anchors a{ffmpeg(1, false), ffmpeg(s.threads, false), ffmpeg(s.threads, true)};
  auto thread_rate = [&](int threads) {
    return WithThreads(threads,
                       [&] { return bench::DecoderThreadRate(clip, whole, s.section, s.repeats); });
  };
  const bench::Rate slices = thread_rate(s.threads), single = thread_rate(1);
  // Unpaced, pellion-send outruns the receive buffer (a 4K pass goes out in a hundredth of a
  // second) and the kernel drops datagrams; well above any decoding rate, the decoder still sets
  // the pace and the queue takes the rest. pellion-send goes no faster than 1000 fps.
  const double pace =
      kChannelPaceOverDecoding * std::max({a.single.fps, a.slices.fps, slices.fps, single.fps});
  const double channel = WithThreads(s.threads, [&] {
    std::vector<double> runs;
    for (int r = 0; r < s.repeats; ++r)
      runs.push_back(bench::ChannelRate(clip, s.port, passes, pace, s.section, *s.scratch));
    return bench::MedianOfRuns(runs);
  });
  line("threads_fps" + name + "_slices", slices.fps, "frames/s", a.slices.fps);
  line("threads_fps" + name + "_slices_vs_ffmpeg1", slices.fps, "frames/s", a.single.fps);
  line("threads_fps" + name + "_slices_vs_ffmpeg_ft1", slices.fps, "frames/s", a.slices_ft1.fps);
  line("threads_fps" + name + "_single", single.fps, "frames/s", a.single.fps);
  line("threads_fps" + name + "_slices_vs_single", slices.fps, "frames/s", single.fps);
  line("threads_cpu_ms" + name + "_slices", slices.cpu_ms, "ms", a.slices.cpu_ms);
  line("threads_cpu_ms" + name + "_single", single.cpu_ms, "ms", a.single.cpu_ms);
  const std::string ch = "threads_channel_fps" + name + "_slices";
  line(ch, channel, "frames/s", a.slices.fps);
  line(ch + "_vs_ffmpeg1", channel, "frames/s", a.single.fps);
  line(ch + "_vs_ffmpeg_ft1", channel, "frames/s", a.slices_ft1.fps);
}

// Frames decoded alone and the paced channel, with slice threads and with one. False when a
// set of latencies came out empty.
bool LatencyFigures(const Case& c, const Clip& clip, int paced, const Setup& setup,
                    const LineFn& line) {
  const int threads = setup.threads;
  const std::string name = std::string("_") + c.label;
  const int loops = bench::Passes(paced, clip);
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
  const std::vector<double> paced_slices = ChannelLatencies(
      clip, threads, loops, setup.port, setup.section, &reader, *setup.scratch, c.label);
  const std::vector<double> paced_single =
      ChannelLatencies(clip, 1, loops, setup.port, setup.section, &reader, *setup.scratch, c.label);
  for (double p : {50.0, 99.0}) {
    const std::string figure = "threads_latency_p" + std::to_string(static_cast<int>(p)) + name;
    const double s = bench::Percentile(paced_slices, p), one = bench::Percentile(paced_single, p);
    line(figure + "_slices", s, "ms", bench::Percentile(alone_single, p));
    line(figure + "_single", one, "ms", bench::Percentile(alone_single, p));
    line(figure + "_slices_vs_single", s, "ms", one);
  }
  return !alone_single.empty() && !paced_slices.empty() && !paced_single.empty();
}

// `frames`: the rates' frames (0: the case's), and the latencies' after the warm-up (0: the
// usual kPacedFrames in all).
bool RunCase(const Case& c, int frames, const Setup& s) {
  Clip clip;
  if (!bench::GetClip(c.recipe, *s.scratch, &clip)) return false;
  bool ok = true;
  const LineFn line = [&](const std::string& figure, double value, const char* unit,
                          double baseline) {
    bench::Line(figure, value, unit, baseline);
    ok = ok && value > 0 && baseline > 0;
  };
  RateFigures(clip, frames > 0 ? frames : c.frames, s, std::string("_") + c.label, line);
  const int paced = frames > 0 ? static_cast<int>(bench::WarmUp(clip)) + frames : kPacedFrames;
  // Evaluated apart: && would skip the latencies after a failed rate.
  const bool latencies = LatencyFigures(c, clip, paced, s, line);
  return ok && latencies;
}

}  // namespace

int main(int argc, char** argv) {
  bench::CaseOptions options;
  if (!bench::ParseCaseOptions({argv + std::min(argc, 1), argv + argc}, &options)) return 2;
  const int cores = platform::UsableCores();
  const int threads = std::clamp(cores, 1, kMaxSliceThreads);
  std::printf("# bench_threads: %d usable cores, %d slice threads\n", cores, threads);
  std::fflush(stdout);

  // Named apart from the build's clips, which are made with other settings. Frames for the
  // rates; the latency takes kPacedFrames unless --frames.
  const std::vector<Case> cases = {
      {"1080p_hevc_wpp", {"threads_hevc_wpp_1920x1080.h265", "1920x1080", 30, bench::kX265}, 300},
      {"4k_hevc_wpp", {"threads_hevc_wpp_3840x2160.h265", "3840x2160", 30, bench::kX265}, 300},
      {"1080p_h264_4slices",
       {"threads_h264_slices4_1920x1080.h264", "1920x1080", 30, bench::X264(4)},
       300},
      {"4k_h264_4slices",
       {"threads_h264_slices4_3840x2160.h264", "3840x2160", 30, bench::X264(4, "veryfast")},
       300},
      {"1080p_h264_1slice",
       {"threads_h264_slices1_1920x1080.h264", "1920x1080", 30, bench::X264(1)},
       300},
  };
  const auto chosen = [&](const Case& c) {
    return options.only.empty() || options.only == c.label;
  };
  if (std::none_of(cases.begin(), cases.end(), chosen)) {
    std::fprintf(stderr, "bench_threads: no case %s; the cases:", options.only.c_str());
    for (const Case& c : cases) std::fprintf(stderr, " %s", c.label);
    std::fprintf(stderr, "\n");
    return 2;
  }

  bench::Scratch scratch;
  bench::OwnSection section;
  bench::ListeningReceiver receiver;
  if (!receiver.ok()) return 1;
  const Setup setup{threads, options.repeats, receiver.port(), section.get(), &scratch};
  int status = 0;
  for (const Case& c : cases)
    if (chosen(c) && !RunCase(c, options.frames, setup)) status = 1;
  return status;
}
