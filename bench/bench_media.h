// What the decode and latency benchmarks share: clips (the build's, or made on the spot),
// timing the ffmpeg command, percentiles, and a publisher that counts what it publishes.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
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
#include <mutex>
#include <string>
#include <vector>

#include "ShareMemVFrame.h"
#include "elementary_stream.h"

extern char** environ;

namespace bench {

namespace fs = std::filesystem;

inline int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

// Runs a command with its output thrown away; its exit code, -1 when it could not start.
inline int Run(const std::vector<std::string>& argv) {
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
  waitpid(pid, &status, 0);
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

inline double TimeCommand(const std::vector<std::string>& argv) {
  int64_t t0 = NowUs();
  if (Run(argv) != 0) return -1;
  return static_cast<double>(NowUs() - t0) / 1e6;
}

// `ffmpeg -threads 1 -i FILE -pix_fmt nv12 -f null -` in frames/s over `frames` frames. The
// time of the same command stopped after one frame (start-up, probing, opening the decoder,
// the first picture) is taken off, as the channel's figures leave out their first frame too.
// The quickest of three runs of each.
inline double FfmpegFps(const fs::path& file, int frames) {
  auto command = [&](bool one) {
    std::vector<std::string> argv = {PELLION_BENCH_FFMPEG,
                                     "-hide_banner",
                                     "-nostdin",
                                     "-loglevel",
                                     "error",
                                     "-threads",
                                     "1",
                                     "-i",
                                     file.string()};
    if (one) argv.insert(argv.end(), {"-frames:v", "1"});
    argv.insert(argv.end(), {"-pix_fmt", "nv12", "-f", "null", "-"});
    return argv;
  };
  double all = 1e9, one = 1e9;
  for (int i = 0; i < 3; ++i) {
    double a = TimeCommand(command(false)), o = TimeCommand(command(true));
    if (a <= 0 || o <= 0) return -1;
    all = std::min(all, a);
    one = std::min(one, o);
  }
  return all > one ? (frames - 1) / (all - one) : -1;
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

// Section and event names of the benchmarks' own, never the plug-in's.
inline constexpr const char* kSectionName = "pellion_bench_vframe_section";
inline constexpr const char* kEventName = "pellion_bench_vframe_event";

inline void UnlinkOwnNames() {
  shm_unlink((std::string("/") + kSectionName).c_str());
  sem_unlink((std::string("/") + kEventName).c_str());
}

}  // namespace bench
