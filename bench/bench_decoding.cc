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

std::vector<std::string> FfmpegDecode(const fs::path& file, int threads, bool one_frame) {
  std::vector<std::string> argv = {
      PELLION_BENCH_FFMPEG, "-hide_banner",         "-nostdin", "-loglevel", "error",
      "-threads",           std::to_string(threads)};
  if (threads > 1) argv.insert(argv.end(), {"-thread_type", "slice"});
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

}  // namespace

Rate FfmpegRate(const fs::path& file, int frames, int threads) {
  double all = 1e9, one = 1e9, cpu_all = 1e9, cpu_one = 1e9;
  for (int i = 0; i < 3; ++i) {
    for (bool o : {false, true}) {
      double cpu = 0;
      int64_t t0 = NowUs();
      if (Run(FfmpegDecode(file, threads, o), &cpu) != 0) return {};
      double s = static_cast<double>(NowUs() - t0) / 1e6;
      (o ? one : all) = std::min(o ? one : all, s);
      (o ? cpu_one : cpu_all) = std::min(o ? cpu_one : cpu_all, cpu);
    }
  }
  Rate r;
  if (all > one) r.fps = (frames - 1) / (all - one);
  if (cpu_all > cpu_one) r.cpu_ms = (cpu_all - cpu_one) * 1000 / (frames - 1);
  return r;
}

Rate DecoderThreadRate(const Clip& clip, int frames, FramePublisher* section) {
  auto [fps, cpu_all] = DecoderThreadRun(clip, frames, section);
  auto [unused, cpu_one] = DecoderThreadRun(clip, 1, section);
  (void)unused;
  Rate r;
  if (fps > 0) r.fps = fps;
  if (cpu_all > 0 && cpu_one >= 0 && cpu_all > cpu_one)
    r.cpu_ms = (cpu_all - cpu_one) * 1000 / (frames - 1);
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
