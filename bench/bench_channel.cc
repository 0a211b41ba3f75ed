#include "bench_channel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "MetaUdpServer.h"
#include "VStreamDecoderThread.h"
#include "bench_process.h"
#include "bench_stats.h"
#include "video_decoder.h"

namespace bench {

ListeningReceiver::ListeningReceiver()
    : server_(MetaUdpServer::GetInstance()), ok_(server_->StartListen(0)) {
  if (!ok_) std::fprintf(stderr, "bench: the receiver does not listen\n");
}

ListeningReceiver::~ListeningReceiver() {
  if (ok_) server_->StopListen();
}

int ListeningReceiver::port() const { return server_->listen_port(); }

namespace {

// When the last pellion-send of this process ended.
int64_t last_send_end_us = 0;

// Each pellion-send is a new source to the receiver, which takes one over only after the last
// was silent for a while and withholds its frames until then: back to back, the next run would
// lose its first frames.
void WaitForSilence() {
  const int64_t at = last_send_end_us + (StreamSources::kTakeOverAfterMs + 100) * int64_t{1000};
  const int64_t now = NowUs();
  if (last_send_end_us != 0 && at > now)
    std::this_thread::sleep_for(std::chrono::microseconds(at - now));
}

std::vector<TraceFrame> ReadTrace(const fs::path& path) {
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

}  // namespace

Sent SendThrough(const Clip& clip, int port, double fps, int loops, CountingPublisher* out,
                 const Scratch& scratch) {
  Sent s;
  fs::path trace = scratch.dir() / "trace";
  char rate[32];
  // pellion-send takes at most 1000 fps.
  std::snprintf(rate, sizeof rate, "%.3f", std::min(fps, 1000.0));
  std::vector<std::string> argv = {
      PELLION_BENCH_SEND, clip.path.string(),   "--host",         "127.0.0.1",
      "--port",           std::to_string(port), "--loop",         std::to_string(loops),
      "--trace",          trace.string(),       "--request-port", "0"};
  if (fps > 0)
    argv.insert(argv.end(), {"--fps", rate});
  else
    argv.push_back("--fast");
  WaitForSilence();
  int rc = Run(argv);
  last_send_end_us = NowUs();
  if (rc != 0) {
    std::fprintf(stderr, "bench: pellion-send exited with %d\n", rc);
    return s;
  }
  s.trace = ReadTrace(trace);
  s.ok = !s.trace.empty();
  out->WaitFor(s.trace.size(), 3000);
  return s;
}

double ChannelRate(const Clip& clip, int port, int loops, double fps, FramePublisher* section,
                   const Scratch& scratch) {
  const uint64_t frames = static_cast<uint64_t>(loops) * clip.units.size();
  CountingPublisher counter(section);
  VStreamDecoderThread::Limits limits;
  limits.max_queued_frames = frames;
  limits.max_queued_bytes = size_t{1} << 30;
  reset_video_decoder();
  VStreamDecoderThread thread(nullptr, &counter, limits);
  if (!thread.StartDecoding()) return -1;
  Sent sent = SendThrough(clip, port, fps, loops, &counter, scratch);
  // The decoder may be far behind the sender: waits while pictures keep coming.
  for (uint64_t seen = 0; sent.ok && seen < frames && counter.count() > seen;)
    seen = counter.WaitFor(frames, 5000);
  thread.StopDecoding();
  reset_video_decoder();
  const uint64_t published = counter.count();
  if (sent.ok && sent.trace.size() == frames && published == frames) return counter.Rate();
  std::fprintf(stderr,
               "bench: %llu of %llu frames sent, %llu published, %llu dropped at the queue\n",
               static_cast<unsigned long long>(sent.trace.size()),
               static_cast<unsigned long long>(frames), static_cast<unsigned long long>(published),
               static_cast<unsigned long long>(thread.dropped_frames()));
  return -1;
}

std::vector<double> PacedLatencies(const Clip& clip, int port, int loops, CountingPublisher* out,
                                   Reader* reader, const Scratch& scratch,
                                   const std::string& label) {
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
