// pellion-view: waits for the plug-in's pictures in the shared section and writes them out as
// raw NV12 or as Y4M (I420), to a file or to standard output (e.g. for a player).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/file.h"
#include "host/y4m_sink.h"
#include "pellion/frame_section.h"
#include "read_stats.h"

namespace {

using Clock = std::chrono::steady_clock;
using pellion_tools::File;
using pellion_tools::PictureSink;

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

struct Options {
  std::string output = "-", format = "y4m", section = pellion::kFrameSectionName,
              event = pellion::kFrameEventName;
  int frames = 0, timeout_s = 10, fps = 30;
};

void AddOptions(CLI::App& app, Options& o) {
  app.add_option("-o,--output", o.output, "file to write, - for standard output")
      ->capture_default_str();
  app.add_option("-f,--format", o.format, "y4m or nv12")
      ->check(CLI::IsMember({"y4m", "nv12"}))
      ->capture_default_str();
  app.add_option("-n,--frames", o.frames, "stop after this many pictures (0: until Ctrl-C)")
      ->capture_default_str();
  app.add_option("--timeout", o.timeout_s, "give up after this many seconds without a picture")
      ->capture_default_str();
  app.add_option("--fps", o.fps, "frame rate written in the Y4M header")->capture_default_str();
  app.add_option("--section", o.section, "section name")->capture_default_str();
  app.add_option("--event", o.event, "event name")->capture_default_str();
  app.set_version_flag("--version", "pellion-view " PELLION_VERSION);
}

// The raw NV12 bytes of each picture, flushed at once.
class Nv12Sink : public PictureSink {
 public:
  Nv12Sink(std::string path, File out) : path_(std::move(path)), out_(std::move(out)) {}
  bool Take(const pellion::FrameHeader&, const std::vector<uint8_t>& nv12) override {
    if (std::fwrite(nv12.data(), 1, nv12.size(), out_.get()) == nv12.size() &&
        std::fflush(out_.get()) == 0)
      return true;
    pellion_tools::SayCannotWrite("pellion-view", path_);
    failed_ = true;
    return false;
  }
  bool Finish() override { return out_.Close() && !failed_; }

 private:
  std::string path_;
  File out_;
  bool failed_ = false;
};

// The plug-in may not have made the section yet: tries until the timeout.
bool OpenReader(pellion::FrameReader& reader, const Options& o) {
  const auto wait_start = Clock::now();
  while (!reader.Open(o.section, o.event)) {
    if (g_stop || Clock::now() - wait_start > std::chrono::seconds(o.timeout_s)) {
      std::fprintf(stderr, "pellion-view: section %s / event %s not there: %s\n", o.section.c_str(),
                   o.event.c_str(), std::strerror(reader.error()));
      return false;
    }
    usleep(100 * 1000);
  }
  return true;
}

std::unique_ptr<PictureSink> OpenOutput(const Options& o) {
  File out = o.output == "-" ? File::Borrow(stdout) : File::Open(o.output, "wb");
  if (!out) {
    pellion_tools::SayCannotWrite("pellion-view", o.output);
    return nullptr;
  }
  if (o.format == "nv12") return std::make_unique<Nv12Sink>(o.output, std::move(out));
  return std::make_unique<pellion_tools::Y4mSink>("pellion-view", o.output, std::move(out), o.fps);
}

// Copies the pictures into the sink until told to stop, the count is reached, the sink ends or
// no picture came for the timeout.
class Copy {
 public:
  Copy(pellion::FrameReader& reader, PictureSink& sink, const Options& o)
      : reader_(reader), sink_(sink), o_(o) {}
  void Run() {
    auto second_start = Clock::now();
    auto last_picture = second_start;
    while (!g_stop && (o_.frames == 0 || written_ < o_.frames)) {
      const auto now = Clock::now();
      if (now - second_start >= std::chrono::seconds(1)) {
        std::fprintf(stderr, "pellion-view: %d pictures/s, %d written, %d index gaps, %d torn\n",
                     in_second_, written_, gaps_, static_cast<int>(stats_.torn()));
        in_second_ = 0;
        second_start = now;
      }
      if (!reader_.Wait(200)) {
        if (now - last_picture <= std::chrono::seconds(o_.timeout_s)) continue;
        std::fprintf(stderr, "pellion-view: no picture for %d s\n", o_.timeout_s);
        break;
      }
      pellion::FramePublication info;
      const pellion::ReadResult result = reader_.ReadWhole(&h_, &picture_, &info);
      if (result == pellion::ReadResult::kUnavailable) continue;
      last_picture = now;
      if (!Write(result, info)) break;
    }
  }
  // False once the sink ends.
  bool Write(pellion::ReadResult result, const pellion::FramePublication& info) {
    // A torn copy may mix two pictures: it is counted, not written.
    if (!stats_.Count(result, info)) return true;
    if (written_ > 0 && h_.frame_index != last_index_ + 1) ++gaps_;
    last_index_ = h_.frame_index;
    if (!sink_.Take(h_, picture_)) return false;
    ++written_;
    ++in_second_;
    return true;
  }
  int Report() const {
    std::fprintf(stderr, "pellion-view: %d pictures written, %d index gaps, %d torn\n", written_,
                 gaps_, static_cast<int>(stats_.torn()));
    std::fprintf(stderr, "pellion-view: %s\n", stats_.Summary().c_str());
    return written_;
  }

 private:
  pellion::FrameReader& reader_;
  PictureSink& sink_;
  const Options& o_;
  std::vector<uint8_t> picture_;
  pellion::FrameHeader h_;
  pellion_tools::ReadStats stats_;
  int written_ = 0, gaps_ = 0, in_second_ = 0;
  uint32_t last_index_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes the pictures the Pellion plug-in publishes, as raw NV12 or Y4M."};
  Options o;
  AddOptions(app, o);
  CLI11_PARSE(app, argc, argv);

  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  pellion::FrameReader reader;
  if (!OpenReader(reader, o)) return 1;
  std::unique_ptr<PictureSink> sink = OpenOutput(o);
  if (sink == nullptr) return 1;
  Copy copy(reader, *sink, o);
  copy.Run();
  const int written = copy.Report();
  const bool kept = sink->Finish();
  return written > 0 && kept ? 0 : 1;
}
