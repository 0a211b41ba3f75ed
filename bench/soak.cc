// Soak and overload of the whole channel as a user runs it: pellion-send processes feed
// pellion-host --headless (the real module) over loopback, in phases with impairments, while a
// second sender throws garbage at the video port and the host restarts its channel every few
// seconds. Every picture the host reads is checked against the ffmpeg command's decode of the
// same frame index.
//
//   bench_soak soak SECONDS       the 1080p H.264 clip at 30 fps
//   bench_soak overload SECONDS   4K HEVC as fast as the sender can, then at 30 fps
//
// Prints a line per figure and exits non-zero when a check fails.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_media.h"

namespace {

namespace fs = std::filesystem;
using bench::NowUs;

constexpr int kVideoPort = 9111;

// A child with its output in a file; killed and reaped if still running at destruction.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0 && !code_) {
      kill(pid_, SIGKILL);
      Wait(-1);
    }
  }
  bool Start(std::vector<std::string> argv, const fs::path& out,
             const std::vector<std::string>& env = {}) {
    std::vector<char*> cargv, cenv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> envs = env;
    for (char** e = environ; *e != nullptr; ++e) envs.emplace_back(*e);
    for (std::string& e : envs) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    int rc = posix_spawn(&pid_, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }
  // The exit code once it ended (128 + signal), nullopt while it runs after `timeout_ms`
  // (-1: wait for ever).
  std::optional<int> Wait(int timeout_ms) {
    int64_t deadline = NowUs() + int64_t{timeout_ms} * 1000;
    while (pid_ > 0 && !code_) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, timeout_ms < 0 ? 0 : WNOHANG);
      if (r == pid_) {
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (timeout_ms >= 0 && NowUs() >= deadline) break;
      usleep(10000);  // polling a child's end; nothing to wake on without a signal handler
    }
    return code_;
  }
  void Signal(int sig) {
    if (pid_ > 0 && !code_) kill(pid_, sig);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::optional<int> code_;
};

uint64_t Fnv1a(const uint8_t* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

// The ffmpeg command's decode of every access unit of the clip, as hashes.
std::vector<uint64_t> ReferenceHashes(const fs::path& clip, int width, int height,
                                      const bench::Scratch& scratch) {
  fs::path raw = scratch.dir() / (clip.filename().string() + ".nv12");
  if (bench::Run({PELLION_BENCH_FFMPEG, "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
                  "-i", clip.string(), "-pix_fmt", "nv12", "-f", "rawvideo", raw.string()}) != 0)
    return {};
  std::ifstream f(raw, std::ios::binary);
  const size_t size = size_t(width) * height * 3 / 2;
  std::vector<uint8_t> picture(size);
  std::vector<uint64_t> out;
  while (f.read(reinterpret_cast<char*>(picture.data()), std::streamsize(size)))
    out.push_back(Fnv1a(picture.data(), size));
  fs::remove(raw);
  return out;
}

// Datagrams no sender would make, at `per_second`: random bytes of random length, so that all of
// the receiver's rejections are taken (too short, not video, bad length) and, now and then, one
// that parses as a packet of some unrelated frame.
class GarbageSender {
 public:
  explicit GarbageSender(int per_second) : per_second_(per_second) {
    thread_ = std::thread([this] { Run(); });
  }
  ~GarbageSender() {
    stop_ = true;
    thread_.join();
  }
  uint64_t sent() const { return sent_; }

 private:
  void Run() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kVideoPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::mt19937 rng(7);
    std::vector<uint8_t> d(1400);
    const int batch = std::max(1, per_second_ / 100);
    int64_t next = NowUs();
    while (!stop_) {
      for (int i = 0; i < batch; ++i) {
        size_t n = rng() % d.size();
        for (size_t j = 0; j < n; ++j) d[j] = static_cast<uint8_t>(rng());
        sendto(fd, d.data(), n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ++sent_;
      }
      next += 10000;
      int64_t wait = next - NowUs();
      if (wait > 0) usleep(static_cast<useconds_t>(wait));  // pacing, not synchronisation
    }
    close(fd);
  }
  int per_second_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> sent_{0};
  std::thread thread_;
};

struct Picture {
  int64_t us;
  uint32_t index;
  uint64_t hash;
};
struct HostRecord {
  std::vector<Picture> pictures;
  std::vector<int64_t> restarts;
};

HostRecord ReadHashes(const fs::path& path) {
  HostRecord r;
  std::ifstream f(path);
  std::string kind;
  while (f >> kind) {
    if (kind == "restart") {
      int64_t us = 0;
      f >> us;
      r.restarts.push_back(us);
    } else if (kind == "picture") {
      Picture p{};
      std::string size, hash;
      f >> p.us >> p.index >> size >> hash;
      p.hash = std::strtoull(hash.c_str(), nullptr, 16);
      r.pictures.push_back(p);
    } else {
      std::string rest;
      std::getline(f, rest);
    }
  }
  return r;
}

long RssKiB(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

std::string ReadText(const fs::path& p) {
  std::ifstream f(p);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Every log file under `dir`, one after another.
std::string AllLogs(const fs::path& dir) {
  std::string all;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file()) all += ReadText(it->path());
  return all;
}

// Calls `f` with the text after each occurrence of `needle`.
template <typename F>
void ForEachAfter(const std::string& text, const std::string& needle, F f) {
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    f(text.c_str() + at + needle.size());
}

// The sender's trace: a line per frame, "index unit key last-datagram-us".
std::map<uint32_t, size_t> UnitsOf(const fs::path& trace) {
  std::map<uint32_t, size_t> out;
  std::ifstream f(trace);
  for (std::string line; std::getline(f, line);) {
    std::istringstream fields(line);
    uint32_t index = 0;
    size_t unit = 0;
    if (fields >> index >> unit) out[index] = unit;
  }
  return out;
}

struct Phase {
  const char* name;
  std::vector<std::string> args;  // impairments
  bool reset_index = false;       // a restarted sender: indices from 1 again
  bool fast = false;
  int frames = 0;  // 0: the set-up's phase_frames
};

struct Setup {
  fs::path clip;
  int width, height;
  int units;  // access units in the clip (key frame first); a phase sends whole passes
  int phase_frames;
  std::vector<Phase> phases;  // cycled
  double seconds;
  double restart_every;
  int garbage_per_second;
  double resume_limit_ms;  // after a restart or the load dropping: a key interval and a margin
  bool expect_overload;
};

int Soak(const Setup& s, const bench::Scratch& scratch) {
  std::vector<uint64_t> ref = ReferenceHashes(s.clip, s.width, s.height, scratch);
  if (static_cast<int>(ref.size()) != s.units) {
    std::fprintf(stderr, "soak: the reference has %zu pictures, the clip %d units\n", ref.size(),
                 s.units);
    return 1;
  }
  const fs::path bin = fs::path(PELLION_BENCH_SEND).parent_path();
  const fs::path hashes = scratch.dir() / "hashes", host_out = scratch.dir() / "host.out";
  const fs::path logs = scratch.dir() / "programdata";
  const int request_port = 19112;
  char seconds[32], restart[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", s.seconds + 3);
  std::snprintf(restart, sizeof restart, "%.2f", s.restart_every);

  Child host;
  std::vector<std::string> host_argv = {(bin / "pellion-host").string(),
                                        "--headless",
                                        "--seconds",
                                        seconds,
                                        "--hashes",
                                        hashes.string(),
                                        "--sender-port",
                                        std::to_string(request_port)};
  if (s.restart_every > 0) host_argv.insert(host_argv.end(), {"--restart-every", restart});
  if (!host.Start(host_argv, host_out, {"NORV_PROGRAMDATA=" + logs.string(), "GLOG_encrypt=0"}))
    return 1;
  // The host is ready when it says so.
  for (int64_t deadline = NowUs() + 10'000'000; NowUs() < deadline;) {
    if (ReadText(host_out).find("channel started") != std::string::npos) break;
    if (host.Wait(20)) break;
  }

  std::optional<GarbageSender> garbage;
  if (s.garbage_per_second > 0) garbage.emplace(s.garbage_per_second);
  struct Span {
    const char* name;
    int64_t from_us, to_us;
    std::map<uint32_t, size_t> unit_of;  // frame index -> access unit, from the sender's trace
  };
  std::vector<Span> spans;
  std::vector<long> rss;
  uint32_t next_index = 1;
  // One sender sends every phase from one port; a restarted one comes from a new port.
  int source_port = 19200;
  int failures = 0;
  const int64_t start = NowUs(), end = start + static_cast<int64_t>(s.seconds * 1e6);
  for (size_t i = 0; NowUs() < end; ++i) {
    const Phase& p = s.phases[i % s.phases.size()];
    if (p.reset_index) {
      next_index = 1;
      source_port = source_port == 19299 ? 19200 : source_port + 1;
    }
    const fs::path trace = scratch.dir() / "trace";
    std::vector<std::string> argv = {(bin / "pellion-send").string(),
                                     s.clip.string(),
                                     "--host",
                                     "127.0.0.1",
                                     "--port",
                                     std::to_string(kVideoPort),
                                     "--loop",
                                     "0",
                                     "--frames",
                                     std::to_string(p.frames > 0 ? p.frames : s.phase_frames),
                                     "--first-index",
                                     std::to_string(next_index),
                                     "--request-port",
                                     std::to_string(request_port),
                                     "--source-port",
                                     std::to_string(source_port),
                                     "--seed",
                                     std::to_string(i + 1),
                                     "--trace",
                                     trace.string()};
    if (p.fast)
      argv.push_back("--fast");
    else
      argv.insert(argv.end(), {"--fps", "30"});
    argv.insert(argv.end(), p.args.begin(), p.args.end());
    Child sender;
    const int64_t from = NowUs();
    if (!sender.Start(argv, scratch.dir() / "send.out")) return 1;
    while (!sender.Wait(1000)) {
      rss.push_back(RssKiB(host.pid()));
      if (NowUs() >= end) sender.Signal(SIGTERM);
    }
    spans.push_back({p.name, from, NowUs(), UnitsOf(trace)});
    next_index += static_cast<uint32_t>(p.frames > 0 ? p.frames : s.phase_frames);
  }
  const uint64_t garbage_sent = garbage ? garbage->sent() : 0;
  garbage.reset();
  std::optional<int> host_code = host.Wait(30'000);
  if (!host_code) {
    std::fprintf(stderr, "soak: the host did not end\n");
    return 1;
  }

  HostRecord rec = ReadHashes(hashes);
  const std::string out = ReadText(host_out);
  uint64_t identical = 0, different = 0;
  for (const Picture& p : rec.pictures) {
    // The latest phase begun before the picture that sent its index (a restarted sender sends
    // the same indices again).
    std::optional<size_t> want;
    for (auto sp = spans.rbegin(); sp != spans.rend() && !want; ++sp) {
      if (sp->from_us > p.us) continue;
      if (auto it = sp->unit_of.find(p.index); it != sp->unit_of.end()) want = it->second;
    }
    if (want && *want < ref.size() && p.hash == ref[*want]) {
      ++identical;
      continue;
    }
    if (++different > 5) continue;
    auto au = std::find(ref.begin(), ref.end(), p.hash);
    std::printf("different: frame %u at %.3f s is %s (want unit %d)\n", p.index,
                double(p.us - start) / 1e6,
                au == ref.end() ? "no unit of the clip"
                                : ("unit " + std::to_string(au - ref.begin())).c_str(),
                want ? static_cast<int>(*want) : -1);
  }
  std::printf("pictures %zu, bit-exact %" PRIu64 " (%.4f%%), different %" PRIu64 "\n",
              rec.pictures.size(), identical,
              rec.pictures.empty() ? 0.0 : 100.0 * double(identical) / double(rec.pictures.size()),
              different);
  if (different != 0 || rec.pictures.empty()) ++failures;

  // Per phase: pictures, and the longest time without one while frames flowed (a gap that
  // spans a channel restart counts from the restart).
  std::map<std::string, std::pair<int64_t, uint64_t>> per_kind;  // longest gap, pictures
  for (const Span& sp : spans) {
    int64_t last = sp.from_us, longest = 0;
    uint64_t count = 0;
    for (const Picture& p : rec.pictures) {
      if (p.us < sp.from_us || p.us > sp.to_us) continue;
      ++count;
      for (int64_t r : rec.restarts)
        if (r > last && r < p.us) last = r;
      longest = std::max(longest, p.us - last);
      last = p.us;
    }
    auto& k = per_kind[sp.name];
    k.first = std::max(k.first, longest);
    k.second += count;
  }
  // Load dropping: how soon pictures flow once a paced phase follows a fast one.
  for (size_t i = 1; i < spans.size(); ++i) {
    if (!s.phases[(i - 1) % s.phases.size()].fast) continue;
    // A phase the end of the run cut short may have had no time to show anything.
    if (double(spans[i].to_us - spans[i].from_us) / 1000 < 2 * s.resume_limit_ms) continue;
    auto it = std::find_if(rec.pictures.begin(), rec.pictures.end(), [&](const Picture& p) {
      return p.us > spans[i].from_us && spans[i].unit_of.count(p.index) != 0;
    });
    if (it == rec.pictures.end()) {
      std::printf("no picture after the load dropped at %.1f s\n",
                  double(spans[i].from_us - start) / 1e6);
      ++failures;
    } else {
      std::printf("load dropped at %.1f s: first picture of the paced stream after %.0f ms\n",
                  double(spans[i].from_us - start) / 1e6, double(it->us - spans[i].from_us) / 1000);
      if (double(it->us - spans[i].from_us) / 1000 > s.resume_limit_ms) ++failures;
    }
  }
  // A restarted sender: how soon its pictures come, from its start.
  std::vector<double> back;
  for (size_t i = 0; i < spans.size(); ++i) {
    if (!s.phases[i % s.phases.size()].reset_index) continue;
    auto it = std::find_if(rec.pictures.begin(), rec.pictures.end(), [&](const Picture& p) {
      return p.us > spans[i].from_us && spans[i].unit_of.count(p.index) != 0;
    });
    if (it != rec.pictures.end()) back.push_back(double(it->us - spans[i].from_us) / 1000);
  }
  if (!back.empty())
    std::printf(
        "sender restarts %zu, first picture of the new run after p50 %.0f ms, max %.0f ms\n",
        back.size(), bench::Percentile(back, 50), bench::Percentile(back, 100));
  for (const auto& [name, k] : per_kind)
    std::printf("phase %-10s pictures %6" PRIu64 ", longest without a picture %6.0f ms\n",
                name.c_str(), k.second, double(k.first) / 1000);

  // After each channel restart: time to the first picture.
  std::vector<double> resume;
  for (int64_t r : rec.restarts) {
    auto it = std::find_if(rec.pictures.begin(), rec.pictures.end(),
                           [&](const Picture& p) { return p.us > r; });
    if (it != rec.pictures.end()) resume.push_back(double(it->us - r) / 1000);
  }
  if (!resume.empty()) {
    std::printf("channel restarts %zu, first picture after p50 %.0f ms, p99 %.0f ms, max %.0f ms\n",
                resume.size(), bench::Percentile(resume, 50), bench::Percentile(resume, 99),
                bench::Percentile(resume, 100));
    if (bench::Percentile(resume, 100) > s.resume_limit_ms) ++failures;
  }

  long max_rss = 0, early = 0, late = 0;
  for (long v : rss) max_rss = std::max(max_rss, v);
  if (rss.size() >= 4) {
    early = *std::max_element(rss.begin(), rss.begin() + long(rss.size() / 4));
    late = *std::max_element(rss.end() - long(rss.size() / 4), rss.end());
  }
  std::printf(
      "host RSS max %ld KiB (sampled each second), first quarter max %ld, last quarter "
      "max %ld\n",
      max_rss, early, late);
  if (early > 0 && late > early + 64 * 1024) ++failures;  // grew by more than 64 MiB

  long t0 = 0, t1 = 0, d0 = 0, d1 = 0, host_rss = 0;
  size_t at = out.find("pellion-host: threads ");
  if (at == std::string::npos ||
      std::sscanf(out.c_str() + at,
                  "pellion-host: threads %ld -> %ld, descriptors %ld -> %ld, max RSS %ld", &t0, &t1,
                  &d0, &d1, &host_rss) != 5) {
    std::fprintf(stderr, "soak: no resources line from the host\n");
    ++failures;
  } else {
    std::printf("host threads %ld -> %ld, descriptors %ld -> %ld, max RSS %ld KiB\n", t0, t1, d0,
                d1, host_rss);
    if (t1 > t0 || d1 > d0) ++failures;
  }
  if (size_t line = out.find(" pictures in "); line != std::string::npos) {
    line = out.rfind("pellion-host: ", line);
    std::printf("%s", out.substr(line, out.find('\n', line) + 1 - line).c_str());
  }
  // What the publication record let the host see: a torn copy is caught and dropped, so a mixed
  // picture accepted would show above as one that is not bit-exact.
  if (size_t line = out.find(" torn copies caught"); line != std::string::npos) {
    line = out.rfind("pellion-host: ", line);
    std::printf("%s", out.substr(line, out.find('\n', line) + 1 - line).c_str());
  }
  std::printf("garbage datagrams sent %" PRIu64 "\n", garbage_sent);
  const std::string log = AllLogs(logs);
  int full_lines = 0, request_lines = 0;
  long dropped = 0;
  ForEachAfter(log, "decoder queue full, frames dropped so far: ", [&](const char* n) {
    ++full_lines;
    dropped = std::max(dropped, std::strtol(n, nullptr, 10));
  });
  ForEachAfter(log, "send REQUEST_CODE_FOR_I_FRAME", [&](const char*) { ++request_lines; });
  std::printf(
      "log: %d \"decoder queue full\" lines (%ld frames dropped), %d key-frame request lines\n",
      full_lines, dropped, request_lines);
  if (s.expect_overload && (full_lines == 0 || request_lines == 0)) ++failures;
  if (*host_code != 0) {
    std::fprintf(stderr, "soak: the host exited with %d\n", *host_code);
    ++failures;
  }
  if (const char* keep = std::getenv("PELLION_SOAK_KEEP")) {
    std::error_code ec;
    fs::copy(scratch.dir(), keep,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    std::printf("kept the host's output, hashes, last trace and logs in %s\n", keep);
  }
  std::printf("%s\n", failures == 0 ? "soak: PASS" : "soak: FAIL");
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "soak") != 0 && std::strcmp(argv[1], "overload") != 0)) {
    std::fprintf(stderr, "usage: %s soak|overload SECONDS\n", argv[0]);
    return 2;
  }
  const bool overload = std::strcmp(argv[1], "overload") == 0;
  bench::Scratch scratch;
  Setup s;
  s.seconds = std::atof(argv[2]);
  if (!overload) {
    bench::ClipSpec spec{"h264_1920x1080.h264", "1920x1080", 30, bench::X264(1)};
    s.clip = bench::FindClip(spec, scratch);
    s.width = 1920;
    s.height = 1080;
    s.units = 30;  // one key frame a second
    s.phase_frames = 300;
    s.phases = {{"clean", {}}, {"loss", {"--loss", "0.005"}},
                {"clean", {}}, {"burst", {"--loss", "0.005", "--burst-loss", "25"}},
                {"clean", {}}, {"dup+reorder", {"--dup", "0.05", "--reorder", "0.05"}},
                {"clean", {}}, {"restart", {}, true}};
    s.restart_every = 4;
    s.garbage_per_second = 5000;
    s.resume_limit_ms = 1500;
    s.expect_overload = false;
  } else {
    bench::ClipSpec spec{"hevc_3840x2160.h265",
                         "3840x2160",
                         10,
                         {"-c:v", "libx265", "-tune", "zerolatency", "-preset", "ultrafast",
                          "-x265-params", "bframes=0:keyint=30:log-level=error"}};
    s.clip = bench::FindClip(spec, scratch);
    s.width = 3840;
    s.height = 2160;
    s.units = 10;
    s.phase_frames = 600;
    s.phases = {{"fast", {}, false, true, 10000}, {"paced", {}}};
    s.restart_every = 15;
    s.garbage_per_second = 0;
    // The decoder's queue (64 frames, 1.4 s of 4K HEVC here) drains first.
    s.resume_limit_ms = 3000;
    s.expect_overload = true;
  }
  if (s.clip.empty()) return 1;
  return Soak(s, scratch);
}
