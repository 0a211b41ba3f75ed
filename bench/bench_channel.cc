#include "bench_channel.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "MetaUdpServer.h"
#include "bench_process.h"

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
