#include "bench_decoding.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "VStreamDecoderThread.h"
#include "bench_process.h"
#include "bench_publisher.h"
#include "bench_stats.h"
#include "video_decoder.h"

namespace bench {
namespace {

std::vector<std::string> FfmpegDecode(const fs::path& file, const FfmpegCommand& command,
                                      bool one_frame) {
  std::vector<std::string> argv = {PELLION_BENCH_FFMPEG, "-hide_banner", "-nostdin", "-loglevel",
                                   "error"};
  if (command.one_filter_thread) argv.insert(argv.end(), {"-filter_threads", "1"});
  argv.insert(argv.end(), {"-threads", std::to_string(command.threads)});
  if (command.threads > 1) argv.insert(argv.end(), {"-thread_type", "slice"});
  argv.insert(argv.end(), {"-i", file.string()});
  if (one_frame) argv.insert(argv.end(), {"-frames:v", "1"});
  argv.insert(argv.end(), {"-pix_fmt", "nv12", "-f", "null", "-"});
  return argv;
}

// Posts the frames, never more than a few ahead of what came out, so that none is dropped at
// the queue. False when the thread stalled.
bool PostFrames(VStreamDecoderThread& thread, const Clip& clip, int frames,
                CountingPublisher& counter) {
  constexpr uint64_t kAhead = 8;
  for (int i = 0; i < frames; ++i) {
    while (static_cast<uint64_t>(i) >= counter.count() + kAhead) {
      if (counter.WaitFor(static_cast<uint64_t>(i) + 1 - kAhead, 5000) + kAhead <=
          static_cast<uint64_t>(i)) {
        std::fprintf(stderr, "bench: the decoder thread stalled at frame %d\n", i);
        return false;
      }
    }
    thread.OnPushVFrame(static_cast<uint32_t>(i + 1), clip.Unit(static_cast<size_t>(i)));
  }
  return true;
}

// `frames` frames through a fresh decoder thread, indices in a row. Pictures/s from the first
// to the last; the process's CPU time over the whole run, in seconds.
std::pair<double, double> DecoderThreadRun(const Clip& clip, int frames, FramePublisher* section) {
  CountingPublisher counter(section);
  reset_video_decoder();
  const double cpu0 = ProcessCpuSeconds();
  VStreamDecoderThread thread(nullptr, &counter, VStreamDecoderThread::Limits());
  if (!thread.StartDecoding()) return {-1, -1};
  if (!PostFrames(thread, clip, frames, counter)) {
    thread.StopDecoding();
    return {-1, -1};
  }
  uint64_t out = counter.WaitFor(static_cast<uint64_t>(frames), 30000);
  thread.StopDecoding();
  const double cpu = ProcessCpuSeconds() - cpu0;
  reset_video_decoder();
  if (out != static_cast<uint64_t>(frames) || thread.dropped_frames() != 0) {
    std::fprintf(stderr, "bench: %llu of %d pictures published, %llu dropped at the queue\n",
                 static_cast<unsigned long long>(out), frames,
                 static_cast<unsigned long long>(thread.dropped_frames()));
    return {-1, -1};
  }
  return {frames > 1 ? counter.Rate() : 0, cpu};
}

// The whole command and the one stopped after a frame, `runs` times each, turn about. False when
// a run failed.
bool FfmpegTimes(const fs::path& file, const FfmpegCommand& command, int runs, Timings* all,
                 Timings* one) {
  for (int i = 0; i < runs; ++i) {
    for (bool o : {false, true}) {
      double cpu = 0;
      int64_t t0 = NowUs();
      if (Run(FfmpegDecode(file, command, o), &cpu) != 0) return false;
      Timings* t = o ? one : all;
      t->seconds.push_back(static_cast<double>(NowUs() - t0) / 1e6);
      t->cpu_s.push_back(cpu);
    }
  }
  return true;
}

// Seconds a frame from runs of `frames` and of one frame; -1 unless positive.
double PerFrame(double all, double one, int frames) {
  return frames > 1 && all > one ? (all - one) / (frames - 1) : -1;
}

}  // namespace

Rate StartUpTakenOff(const Timings& all, const Timings& one, int frames, bool median) {
  for (const std::vector<double>* v : {&all.seconds, &all.cpu_s, &one.seconds, &one.cpu_s})
    if (v->empty()) return {};
  auto pick = [median](const std::vector<double>& v) {
    return median ? Median(v) : *std::min_element(v.begin(), v.end());
  };
  Rate r;
  const double s = PerFrame(pick(all.seconds), pick(one.seconds), frames);
  const double cpu = PerFrame(pick(all.cpu_s), pick(one.cpu_s), frames);
  if (s > 0) r.fps = 1 / s;
  if (cpu > 0) r.cpu_ms = cpu * 1000;
  return r;
}

Rate FfmpegRate(const fs::path& file, int frames, int threads) {
  Timings all, one;
  if (!FfmpegTimes(file, FfmpegCommand{threads, false}, 3, &all, &one)) return {};
  return StartUpTakenOff(all, one, frames, false);
}

Rate FfmpegMedianRate(const fs::path& file, int frames, const FfmpegCommand& command, int runs) {
  Timings all, one;
  if (!FfmpegTimes(file, command, runs, &all, &one)) return {};
  return StartUpTakenOff(all, one, frames, true);
}

Rate DecoderThreadRate(const Clip& clip, int frames, FramePublisher* section, int runs) {
  if (runs < 1) return {};
  std::vector<double> fps, cpu_all, cpu_one;
  for (int i = 0; i < runs; ++i) {
    auto [rate, cpu] = DecoderThreadRun(clip, frames, section);
    fps.push_back(rate);
    cpu_all.push_back(cpu);
    cpu_one.push_back(DecoderThreadRun(clip, 1, section).second);
  }
  Rate r;
  r.fps = MedianOfRuns(fps);
  // A failed run's CPU time is -1: the CPU figure only when every run of both went through.
  const bool ones = *std::min_element(cpu_one.begin(), cpu_one.end()) >= 0;
  const double cpu = PerFrame(Median(cpu_all), Median(cpu_one), frames);
  if (r.fps > 0 && ones && cpu > 0) r.cpu_ms = cpu * 1000;
  return r;
}

std::vector<double> DecodeTimes(const Clip& clip, int frames, int threads, double fps) {
  VideoDecoder& decoder = ProcessVideoDecoder();
  decoder.set_threads(threads);
  decoder.Reset();
  std::vector<double> ms(static_cast<size_t>(frames), -1);
  std::vector<uint8_t> picture;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < frames; ++i) {
    if (fps > 0)
      std::this_thread::sleep_until(start +
                                    std::chrono::microseconds(static_cast<int64_t>(i * 1e6 / fps)));
    std::string unit = clip.Unit(static_cast<size_t>(i));
    FrameInfo info;
    int64_t t0 = NowUs();
    bool ok = decoder.Send(reinterpret_cast<const uint8_t*>(unit.data()), unit.size(), i, &info);
    DecodedPicture p;
    while (ok && decoder.Receive(&p) == ReceiveStatus::kPicture) ok = decoder.ConvertTo(&picture);
    int64_t t1 = NowUs();
    if (ok) ms[static_cast<size_t>(i)] = static_cast<double>(t1 - t0) / 1000;
  }
  decoder.Reset();
  decoder.set_threads(0);
  return ms;
}

}  // namespace bench
