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
#include <signal.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_clips.h"
#include "bench_process.h"
#include "bench_stats.h"
#include "soak_garbage.h"
#include "soak_record.h"

namespace {

namespace fs = std::filesystem;
using bench::NowUs;
using soak::HostRecord;
using soak::Picture;

constexpr int kVideoPort = 9111;
constexpr int kRequestPort = 19112;

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

// The run's files, all in the scratch folder; the programs beside pellion-send.
struct Files {
  explicit Files(const bench::Scratch& scratch)
      : bin(fs::path(PELLION_BENCH_SEND).parent_path()),
        hashes(scratch.dir() / "hashes"),
        host_out(scratch.dir() / "host.out"),
        logs(scratch.dir() / "programdata"),
        trace(scratch.dir() / "trace"),
        send_out(scratch.dir() / "send.out") {}
  fs::path bin, hashes, host_out, logs, trace, send_out;
};

// A phase as it ran.
struct Span {
  const char* name;
  int64_t from_us, to_us;
  std::map<uint32_t, size_t> unit_of;  // frame index -> access unit, from the sender's trace
};

// What sending the phases left.
struct Sending {
  int64_t start_us = 0;
  std::vector<Span> spans;
  std::vector<long> rss;  // the host's, sampled each second
  uint64_t garbage_sent = 0;
};

// pellion-host --headless with the real module, its logs in files.logs; true once it says its
// channel started or ten seconds passed (the checks then tell). A host that ended already (the
// video port taken, say) fails the run at once rather than have the senders feed whoever holds
// the port.
bool StartHost(const Setup& s, const Files& files, bench::Process* host) {
  char seconds[32], restart[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", s.seconds + 3);
  std::snprintf(restart, sizeof restart, "%.2f", s.restart_every);
  std::vector<std::string> argv = {(files.bin / "pellion-host").string(),
                                   "--headless",
                                   "--seconds",
                                   seconds,
                                   "--hashes",
                                   files.hashes.string(),
                                   "--sender-port",
                                   std::to_string(kRequestPort)};
  if (s.restart_every > 0) argv.insert(argv.end(), {"--restart-every", restart});
  if (!host->Start(argv, files.host_out,
                   {"NORV_PROGRAMDATA=" + files.logs.string(), "GLOG_encrypt=0"}))
    return false;
  for (int64_t deadline = NowUs() + 10'000'000; NowUs() < deadline;) {
    if (soak::ReadText(files.host_out).find("channel started") != std::string::npos) break;
    if (std::optional<int> code = host->Wait(20)) {
      std::fprintf(stderr, "soak: the host exited with %d before its channel started\n", *code);
      return false;
    }
  }
  return true;
}

std::vector<std::string> SenderArgv(const Setup& s, const Phase& p, const Files& files,
                                    uint32_t first_index, int source_port, size_t seed) {
  std::vector<std::string> argv = {(files.bin / "pellion-send").string(),
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
                                   std::to_string(first_index),
                                   "--request-port",
                                   std::to_string(kRequestPort),
                                   "--source-port",
                                   std::to_string(source_port),
                                   "--seed",
                                   std::to_string(seed),
                                   "--trace",
                                   files.trace.string()};
  if (p.fast)
    argv.push_back("--fast");
  else
    argv.insert(argv.end(), {"--fps", "30"});
  argv.insert(argv.end(), p.args.begin(), p.args.end());
  return argv;
}

// The phases in turn, a pellion-send each, until the run's time is up; garbage beside them.
// False when a sender could not start.
bool SendPhases(const Setup& s, const Files& files, bench::Process& host, Sending* run) {
  std::optional<soak::GarbageSender> garbage;
  if (s.garbage_per_second > 0) garbage.emplace(kVideoPort, s.garbage_per_second);
  uint32_t next_index = 1;
  // One sender sends every phase from one port; a restarted one comes from a new port.
  int source_port = 19200;
  run->start_us = NowUs();
  const int64_t end = run->start_us + static_cast<int64_t>(s.seconds * 1e6);
  for (size_t i = 0; NowUs() < end; ++i) {
    const Phase& p = s.phases[i % s.phases.size()];
    if (p.reset_index) {
      next_index = 1;
      source_port = source_port == 19299 ? 19200 : source_port + 1;
    }
    bench::Process sender;
    const int64_t from = NowUs();
    if (!sender.Start(SenderArgv(s, p, files, next_index, source_port, i + 1), files.send_out))
      return false;
    while (!sender.Wait(1000)) {
      run->rss.push_back(soak::RssKiB(host.pid()));
      if (NowUs() >= end) sender.Signal(SIGTERM);
    }
    run->spans.push_back({p.name, from, NowUs(), soak::UnitsOf(files.trace)});
    next_index += static_cast<uint32_t>(p.frames > 0 ? p.frames : s.phase_frames);
  }
  run->garbage_sent = garbage ? garbage->sent() : 0;
  return true;
}

// Every picture the host read against the reference decode of the unit its index was sent as.
// Failures: 1 when a picture differs or none came.
int CheckPictures(const HostRecord& rec, const Sending& run, const std::vector<uint64_t>& ref) {
  uint64_t identical = 0, different = 0;
  for (const Picture& p : rec.pictures) {
    // The latest phase begun before the picture that sent its index (a restarted sender sends
    // the same indices again).
    std::optional<size_t> want;
    for (auto sp = run.spans.rbegin(); sp != run.spans.rend() && !want; ++sp) {
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
                double(p.us - run.start_us) / 1e6,
                au == ref.end() ? "no unit of the clip"
                                : ("unit " + std::to_string(au - ref.begin())).c_str(),
                want ? static_cast<int>(*want) : -1);
  }
  std::printf("pictures %zu, bit-exact %" PRIu64 " (%.4f%%), different %" PRIu64 "\n",
              rec.pictures.size(), identical,
              rec.pictures.empty() ? 0.0 : 100.0 * double(identical) / double(rec.pictures.size()),
              different);
  return different != 0 || rec.pictures.empty() ? 1 : 0;
}

// The first picture after the span began of a frame the span sent.
std::vector<Picture>::const_iterator FirstOf(const HostRecord& rec, const Span& span) {
  return std::find_if(rec.pictures.begin(), rec.pictures.end(), [&](const Picture& p) {
    return p.us > span.from_us && span.unit_of.count(p.index) != 0;
  });
}

// Load dropping: how soon pictures flow once a paced phase follows a fast one.
int CheckLoadDrop(const Setup& s, const HostRecord& rec, const Sending& run) {
  int failures = 0;
  for (size_t i = 1; i < run.spans.size(); ++i) {
    if (!s.phases[(i - 1) % s.phases.size()].fast) continue;
    const Span& span = run.spans[i];
    // A phase the end of the run cut short may have had no time to show anything.
    if (double(span.to_us - span.from_us) / 1000 < 2 * s.resume_limit_ms) continue;
    const double at_s = double(span.from_us - run.start_us) / 1e6;
    auto it = FirstOf(rec, span);
    if (it == rec.pictures.end()) {
      std::printf("no picture after the load dropped at %.1f s\n", at_s);
      ++failures;
      continue;
    }
    const double after_ms = double(it->us - span.from_us) / 1000;
    std::printf("load dropped at %.1f s: first picture of the paced stream after %.0f ms\n", at_s,
                after_ms);
    if (after_ms > s.resume_limit_ms) ++failures;
  }
  return failures;
}

// A restarted sender: how soon its pictures come, from its start.
void ReportSenderRestarts(const Setup& s, const HostRecord& rec, const Sending& run) {
  std::vector<double> back;
  for (size_t i = 0; i < run.spans.size(); ++i) {
    if (!s.phases[i % s.phases.size()].reset_index) continue;
    auto it = FirstOf(rec, run.spans[i]);
    if (it != rec.pictures.end()) back.push_back(double(it->us - run.spans[i].from_us) / 1000);
  }
  if (!back.empty())
    std::printf(
        "sender restarts %zu, first picture of the new run after p50 %.0f ms, max %.0f ms\n",
        back.size(), bench::Percentile(back, 50), bench::Percentile(back, 100));
}

// Per kind of phase: pictures, and the longest time without one while frames flowed (a gap
// that spans a channel restart counts from the restart).
void ReportPhases(const HostRecord& rec, const Sending& run) {
  std::map<std::string, std::pair<int64_t, uint64_t>> per_kind;  // longest gap, pictures
  for (const Span& sp : run.spans) {
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
  for (const auto& [name, k] : per_kind)
    std::printf("phase %-10s pictures %6" PRIu64 ", longest without a picture %6.0f ms\n",
                name.c_str(), k.second, double(k.first) / 1000);
}

// After each channel restart: time to the first picture.
int CheckChannelRestarts(const Setup& s, const HostRecord& rec) {
  std::vector<double> resume;
  for (int64_t r : rec.restarts) {
    auto it = std::find_if(rec.pictures.begin(), rec.pictures.end(),
                           [&](const Picture& p) { return p.us > r; });
    if (it != rec.pictures.end()) resume.push_back(double(it->us - r) / 1000);
  }
  if (resume.empty()) return 0;
  std::printf("channel restarts %zu, first picture after p50 %.0f ms, p99 %.0f ms, max %.0f ms\n",
              resume.size(), bench::Percentile(resume, 50), bench::Percentile(resume, 99),
              bench::Percentile(resume, 100));
  return bench::Percentile(resume, 100) > s.resume_limit_ms ? 1 : 0;
}

// The host's memory may not keep growing: the last quarter's peak against the first's.
int CheckRss(const std::vector<long>& rss) {
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
  return early > 0 && late > early + 64 * 1024 ? 1 : 0;  // grew by more than 64 MiB
}

// Prints the line of the host's output that holds `needle`, when there is one.
void EchoHostLine(const std::string& out, const char* needle) {
  size_t line = out.find(needle);
  if (line == std::string::npos) return;
  line = out.rfind("pellion-host: ", line);
  std::printf("%s", out.substr(line, out.find('\n', line) + 1 - line).c_str());
}

// The host's own account: no thread or descriptor left over, its picture counts, and the torn
// copies the publication record let it catch (a mixed picture accepted would show above as one
// that is not bit-exact).
int CheckHostOutput(const std::string& out) {
  int failures = 0;
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
  EchoHostLine(out, " pictures in ");
  EchoHostLine(out, " torn copies caught");
  return failures;
}

// Overload shows in the logs as a full decoder queue and key-frame requests.
int CheckLogs(const Setup& s, const fs::path& logs) {
  const std::string log = soak::AllLogs(logs);
  int full_lines = 0, request_lines = 0;
  long dropped = 0;
  soak::ForEachAfter(log, "decoder queue full, frames dropped so far: ", [&](const char* n) {
    ++full_lines;
    dropped = std::max(dropped, std::strtol(n, nullptr, 10));
  });
  soak::ForEachAfter(log, "send REQUEST_CODE_FOR_I_FRAME", [&](const char*) { ++request_lines; });
  std::printf(
      "log: %d \"decoder queue full\" lines (%ld frames dropped), %d key-frame request lines\n",
      full_lines, dropped, request_lines);
  return s.expect_overload && (full_lines == 0 || request_lines == 0) ? 1 : 0;
}

void KeepFiles(const bench::Scratch& scratch) {
  const char* keep = std::getenv("PELLION_SOAK_KEEP");
  if (keep == nullptr) return;
  std::error_code ec;
  fs::copy(scratch.dir(), keep, fs::copy_options::recursive | fs::copy_options::overwrite_existing,
           ec);
  std::printf("kept the host's output, hashes, last trace and logs in %s\n", keep);
}

// The checks of a finished run, in the order they print; failures.
int CheckRun(const Setup& s, const Files& files, const Sending& run,
             const std::vector<uint64_t>& ref) {
  const HostRecord rec = soak::ReadHashes(files.hashes);
  int failures = CheckPictures(rec, run, ref);
  failures += CheckLoadDrop(s, rec, run);
  ReportSenderRestarts(s, rec, run);
  ReportPhases(rec, run);
  failures += CheckChannelRestarts(s, rec);
  failures += CheckRss(run.rss);
  failures += CheckHostOutput(soak::ReadText(files.host_out));
  std::printf("garbage datagrams sent %" PRIu64 "\n", run.garbage_sent);
  failures += CheckLogs(s, files.logs);
  return failures;
}

int Soak(const Setup& s, const bench::Scratch& scratch) {
  std::vector<uint64_t> ref = soak::ReferenceHashes(s.clip, s.width, s.height, scratch);
  if (static_cast<int>(ref.size()) != s.units) {
    std::fprintf(stderr, "soak: the reference has %zu pictures, the clip %d units\n", ref.size(),
                 s.units);
    return 1;
  }
  const Files files(scratch);
  bench::Process host;
  Sending run;
  if (!StartHost(s, files, &host) || !SendPhases(s, files, host, &run)) return 1;
  std::optional<int> host_code = host.Wait(30'000);
  if (!host_code) {
    std::fprintf(stderr, "soak: the host did not end\n");
    return 1;
  }
  int failures = CheckRun(s, files, run, ref);
  if (*host_code != 0) {
    std::fprintf(stderr, "soak: the host exited with %d\n", *host_code);
    ++failures;
  }
  KeepFiles(scratch);
  std::printf("%s\n", failures == 0 ? "soak: PASS" : "soak: FAIL");
  return failures == 0 ? 0 : 1;
}

// 1080p H.264 at 30 fps through every impairment, garbage beside it, channel restarts.
Setup SoakSetup(const bench::Scratch& scratch) {
  Setup s;
  s.clip = bench::FindClip(bench::Standard().h264_1080p, scratch);
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
  return s;
}

// 4K HEVC as fast as the sender can, then at 30 fps.
Setup OverloadSetup(const bench::Scratch& scratch) {
  bench::ClipRecipe recipe{"hevc_3840x2160.h265",
                           "3840x2160",
                           10,
                           {"-c:v", "libx265", "-tune", "zerolatency", "-preset", "ultrafast",
                            "-x265-params", "bframes=0:keyint=30:log-level=error"}};
  Setup s;
  s.clip = bench::FindClip(recipe, scratch);
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
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "soak") != 0 && std::strcmp(argv[1], "overload") != 0)) {
    std::fprintf(stderr, "usage: %s soak|overload SECONDS\n", argv[0]);
    return 2;
  }
  bench::Scratch scratch;
  Setup s = std::strcmp(argv[1], "overload") == 0 ? OverloadSetup(scratch) : SoakSetup(scratch);
  s.seconds = std::atof(argv[2]);
  if (s.clip.empty()) return 1;
  return Soak(s, scratch);
}
