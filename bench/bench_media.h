// What the decode, latency and thread benchmarks share: clips (the build's, or made on the
// spot), timing the ffmpeg command and the decoder thread, percentiles, a publisher that counts
// what it publishes, and the channel fed by pellion-send and read by a host's reader.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ShareMemVFrame.h"
#include "VStreamDecoderThread.h"
#include "elementary_stream.h"
#include "pellion/frame_section.h"
#include "video_decoder.h"

extern char** environ;

namespace bench {

namespace fs = std::filesystem;

inline int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

inline double CpuSeconds(const rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// User and system time of all this process's threads so far.
inline double ProcessCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return CpuSeconds(ru);
}

// Runs a command with its output thrown away; its exit code, -1 when it could not start. With
// `cpu_s`, the user and system time the command took.
inline int Run(const std::vector<std::string>& argv, double* cpu_s = nullptr) {
  std::vector<std::string> args = argv;
  std::vector<char*> cargv;
  for (std::string& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, cargv[0], &fa, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) < 0) return -1;
  if (cpu_s != nullptr) *cpu_s = CpuSeconds(ru);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A folder of its own for clips made on the spot and looped copies, removed at the end.
class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/pellion-bench-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
};

// x264 without B-frames, a key frame a second, in `slices` slices. With -tune zerolatency x264
// encodes in sliced threads, a slice per thread of the encoding machine whatever slices= says;
// without them the count is the one given.
inline std::vector<std::string> X264(int slices, const char* preset = "medium") {
  return {"-c:v", "libx264",      "-preset",
          preset, "-tune",        "zerolatency",
          "-g",   "30",           "-bf",
          "0",    "-x264-params", "sliced-threads=0:slices=" + std::to_string(slices),
          "-f",   "h264"};
}

// x265 without B-frames, a key frame a second, in wavefronts (WPP).
inline const std::vector<std::string> kX265 = {
    "-c:v",    "libx265",   "-tune",        "zerolatency",
    "-preset", "ultrafast", "-x265-params", "bframes=0:keyint=30:wpp=1:log-level=error",
    "-f",      "hevc"};

struct ClipSpec {
  std::string name;  // as in the build's clips folder
  std::string size;  // WxH
  int frames;
  // Encoder options for making it when the build has none.
  std::vector<std::string> encoder;
};

// The build's clip when it has one, else one made in `scratch` with the ffmpeg command.
inline fs::path FindClip(const ClipSpec& c, const Scratch& scratch) {
  fs::path built = fs::path(PELLION_BENCH_CLIPS_DIR) / c.name;
  if (fs::exists(built)) return built;
  fs::path made = scratch.dir() / c.name;
  if (fs::exists(made)) return made;
  std::fprintf(stderr, "bench: the build has no %s; making it in %s\n", c.name.c_str(),
               scratch.dir().c_str());
  std::vector<std::string> argv = {PELLION_BENCH_FFMPEG,
                                   "-hide_banner",
                                   "-loglevel",
                                   "error",
                                   "-y",
                                   "-f",
                                   "lavfi",
                                   "-i",
                                   "testsrc2=size=" + c.size + ":rate=30",
                                   "-frames:v",
                                   std::to_string(c.frames),
                                   "-pix_fmt",
                                   "yuv420p"};
  argv.insert(argv.end(), c.encoder.begin(), c.encoder.end());
  argv.push_back(made.string());
  if (Run(argv) != 0) return {};
  return made;
}

struct Clip {
  fs::path path;
  pellion_tools::Codec codec = pellion_tools::Codec::kH264;
  std::vector<uint8_t> bytes;
  std::vector<pellion_tools::AccessUnit> units;
  std::string Unit(size_t i) const {
    const auto& u = units[i % units.size()];
    return std::string(reinterpret_cast<const char*>(bytes.data()) + u.offset, u.size);
  }
};

inline bool LoadClip(const fs::path& path, Clip* clip) {
  auto codec = pellion_tools::CodecFromFileName(path.string());
  if (!codec) return false;
  try {
    clip->path = path;
    clip->codec = *codec;
    clip->bytes = pellion_tools::ReadWholeFile(path.string());
    clip->units = pellion_tools::SplitAccessUnits(*codec, clip->bytes).units;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench: %s\n", e.what());
    return false;
  }
  return !clip->units.empty();
}

// The clip of `spec`, found or made, loaded into *clip; false (said on stderr) when there is none.
inline bool GetClip(const ClipSpec& spec, const Scratch& scratch, Clip* clip) {
  fs::path path = FindClip(spec, scratch);
  if (!path.empty() && LoadClip(path, clip)) return true;
  std::fprintf(stderr, "bench: no clip %s\n", spec.name.c_str());
  return false;
}

// A figure's clip and how many frames it takes at least, the clip over and over.
struct Case {
  const char* label;
  ClipSpec spec;
  int frames;
};

// The clip `times` over in one file: an elementary stream starting with a key frame can simply
// follow itself, and the ffmpeg command then decodes as many frames as the channel gets.
inline fs::path Repeated(const Clip& clip, int times, const Scratch& scratch) {
  // Appended, not "x" + ...: g++ 12 at -O3 warns wrongly about that (-Wrestrict).
  std::string name = "x";
  name.append(std::to_string(times)).append("_").append(clip.path.filename().string());
  fs::path out = scratch.dir() / name;
  std::ofstream f(out, std::ios::binary);
  for (int i = 0; i < times; ++i)
    f.write(reinterpret_cast<const char*>(clip.bytes.data()),
            static_cast<std::streamsize>(clip.bytes.size()));
  return f ? out : fs::path();
}

// Nearest rank.
inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(p / 100 * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

inline void Line(const std::string& name, double value, const char* unit, double baseline) {
  std::printf("%s %.3f %s %.3f %.3f\n", name.c_str(), value, unit, baseline,
              baseline != 0 ? value / baseline : 0.0);
  std::fflush(stdout);
}

// Publishes through the real section and notes when each picture's event was set.
class CountingPublisher : public FramePublisher {
 public:
  explicit CountingPublisher(FramePublisher* real) : real_(real) {}
  bool WriteTo(uint32_t frame_index, uint32_t width, uint32_t height,
               const std::vector<uint8_t>& picture) override {
    bool ok = real_->WriteTo(frame_index, width, height, picture);
    int64_t now = NowUs();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (count_ == 0) first_us_ = now;
      last_us_ = now;
      ++count_;
    }
    cv_.notify_all();
    return ok;
  }
  // Waits until `n` pictures are out or `timeout_ms` passed; the count then.
  uint64_t WaitFor(uint64_t n, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return count_ >= n; });
    return count_;
  }
  uint64_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return count_;
  }
  // Pictures per second from the first picture to the last.
  double Rate() {
    std::lock_guard<std::mutex> lock(mu_);
    return count_ > 1 && last_us_ > first_us_
               ? static_cast<double>(count_ - 1) * 1e6 / static_cast<double>(last_us_ - first_us_)
               : 0;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mu_);
    count_ = 0;
  }

 private:
  FramePublisher* real_;
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t count_ = 0;
  int64_t first_us_ = 0, last_us_ = 0;
};

// A decoding rate: frames/s, and the CPU time per picture in ms (user and system, all threads).
// -1 when not measured.
struct Rate {
  double fps = -1;
  double cpu_ms = -1;
};

// `ffmpeg -threads N [-thread_type slice] -i FILE -pix_fmt nv12 -f null -` over `frames`
// frames. The same command stopped after one frame (start-up, probing, opening the decoder, the
// first picture) is taken off, as the channel's figures leave out their first frame too. The
// least of three runs of each, for the time and the CPU time apart.
inline Rate FfmpegRate(const fs::path& file, int frames, int threads = 1) {
  auto command = [&](bool one) {
    std::vector<std::string> argv = {
        PELLION_BENCH_FFMPEG, "-hide_banner",         "-nostdin", "-loglevel", "error",
        "-threads",           std::to_string(threads)};
    if (threads > 1) argv.insert(argv.end(), {"-thread_type", "slice"});
    argv.insert(argv.end(), {"-i", file.string()});
    if (one) argv.insert(argv.end(), {"-frames:v", "1"});
    argv.insert(argv.end(), {"-pix_fmt", "nv12", "-f", "null", "-"});
    return argv;
  };
  double all = 1e9, one = 1e9, cpu_all = 1e9, cpu_one = 1e9;
  for (int i = 0; i < 3; ++i) {
    for (bool o : {false, true}) {
      double cpu = 0;
      int64_t t0 = NowUs();
      if (Run(command(o), &cpu) != 0) return {};
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

// Posts `frames` frames (the clip over and over, indices in a row) to a fresh decoder thread,
// never more than a few ahead of what came out, so that none is dropped at the queue. Pictures/s
// from the first to the last; the process's CPU time over the whole run, in seconds.
inline std::pair<double, double> DecoderThreadRun(const Clip& clip, int frames,
                                                  FramePublisher* section) {
  CountingPublisher counter(section);
  reset_video_decoder();
  const double cpu0 = ProcessCpuSeconds();
  VStreamDecoderThread thread(nullptr, &counter, VStreamDecoderThread::Limits());
  if (!thread.StartDecoding()) return {-1, -1};
  constexpr uint64_t kAhead = 8;
  for (int i = 0; i < frames; ++i) {
    while (static_cast<uint64_t>(i) >= counter.count() + kAhead) {
      if (counter.WaitFor(static_cast<uint64_t>(i) + 1 - kAhead, 5000) + kAhead <=
          static_cast<uint64_t>(i)) {
        std::fprintf(stderr, "bench: the decoder thread stalled at frame %d\n", i);
        thread.StopDecoding();
        return {-1, -1};
      }
    }
    thread.OnPushVFrame(static_cast<uint32_t>(i + 1), clip.Unit(static_cast<size_t>(i)));
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

// The decoder thread's rate over `frames` frames, the run of one frame taken off its CPU time
// as FfmpegRate does.
inline Rate DecoderThreadRate(const Clip& clip, int frames, FramePublisher* section) {
  auto [fps, cpu_all] = DecoderThreadRun(clip, frames, section);
  auto [unused, cpu_one] = DecoderThreadRun(clip, 1, section);
  (void)unused;
  Rate r;
  if (fps > 0) r.fps = fps;
  if (cpu_all > 0 && cpu_one >= 0 && cpu_all > cpu_one)
    r.cpu_ms = (cpu_all - cpu_one) * 1000 / (frames - 1);
  return r;
}

// Section and event names of the benchmarks' own, never the plug-in's.
inline constexpr const char* kSectionName = "pellion_bench_vframe_section";
inline constexpr const char* kEventName = "pellion_bench_vframe_event";

inline void UnlinkOwnNames() {
  shm_unlink((std::string("/") + kSectionName).c_str());
  sem_unlink((std::string("/") + kEventName).c_str());
}

struct TraceFrame {
  uint32_t index;
  int64_t last_datagram_us;
};

inline std::vector<TraceFrame> ReadTrace(const fs::path& path) {
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
    if (!reader_.Open(kSectionName, kEventName)) return;
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
      const int64_t now = NowUs();
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

// Each frame of the clip decoded alone (after its predecessors) on `threads` (as set_threads),
// in milliseconds (-1: failed): sending it and converting what pictures the decoder then gives;
// `frames` in all, the clip over and over, started at `fps` or else one after the other. The first
// one includes opening the decoder. A decoder that holds pictures back adds no work here, only the
// wait for later frames.
inline std::vector<double> DecodeTimes(const Clip& clip, int frames, int threads = 1,
                                       double fps = 0) {
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

struct Sent {
  bool ok = false;
  std::vector<TraceFrame> trace;
};

// Sends the clip `loops` times at `fps` to the receiver and waits until the last frame is out
// (or a few seconds passed).
inline Sent SendThrough(const Clip& clip, int port, double fps, int loops, CountingPublisher* out,
                        const Scratch& scratch) {
  Sent s;
  fs::path trace = scratch.dir() / "trace";
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.3f", fps);
  int rc = Run({PELLION_BENCH_SEND, clip.path.string(), "--host", "127.0.0.1", "--port",
                std::to_string(port), "--fps", rate, "--loop", std::to_string(loops), "--trace",
                trace.string(), "--request-port", "0"});
  if (rc != 0) {
    std::fprintf(stderr, "bench: pellion-send exited with %d\n", rc);
    return s;
  }
  s.trace = ReadTrace(trace);
  s.ok = !s.trace.empty();
  out->WaitFor(s.trace.size(), 3000);
  return s;
}

// Warm-up frames left out of the steady state: two seconds and at least one pass of the clip.
// The first frame opens the decoder, and at 4K the frames queued behind it take over a second
// to catch up.
inline size_t WarmUp(const Clip& clip) { return std::max<size_t>(clip.units.size(), 60); }

// The values from `warm_up` on, those not measured (-1) left out.
inline std::vector<double> After(const std::vector<double>& v, size_t warm_up) {
  std::vector<double> out;
  for (size_t i = warm_up; i < v.size(); ++i)
    if (v[i] >= 0) out.push_back(v[i]);
  return out;
}

// Sends the clip `loops` times at 30 fps through the channel. Per frame sent, the ms from its
// last datagram leaving the sender (its --trace, CLOCK_MONOTONIC) to the reader waking on its
// event; -1 for one the reader never saw. Empty when sending failed.
inline std::vector<double> PacedLatencies(const Clip& clip, int port, int loops,
                                          CountingPublisher* out, Reader* reader,
                                          const Scratch& scratch, const std::string& label) {
  reader->Clear();
  Sent paced = SendThrough(clip, port, 30, loops, out, scratch);
  std::map<uint32_t, int64_t> woken = reader->Woken();
  std::vector<double> ms;
  size_t seen = 0;
  for (const TraceFrame& t : paced.trace) {
    auto w = woken.find(t.index);
    ms.push_back(w == woken.end() ? -1
                                  : static_cast<double>(w->second - t.last_datagram_us) / 1000);
    if (w != woken.end()) ++seen;
  }
  if (seen < paced.trace.size())
    std::fprintf(stderr, "bench: %s: the reader saw %zu of %zu frames\n", label.c_str(), seen,
                 paced.trace.size());
  return ms;
}

}  // namespace bench
