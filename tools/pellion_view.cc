// pellion-view: waits for the plug-in's pictures in the shared section and writes them out as
// raw NV12 or as Y4M (I420), to a file or to standard output (e.g. for a player).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "nv12_to_i420.h"
#include "pellion/frame_section.h"
#include "read_stats.h"

namespace {

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Writes the pictures the Pellion plug-in publishes, as raw NV12 or Y4M."};
  std::string output = "-", format = "y4m", section = pellion::kFrameSectionName,
              event = pellion::kFrameEventName;
  int frames = 0, timeout_s = 10, fps = 30;
  app.add_option("-o,--output", output, "file to write, - for standard output")
      ->capture_default_str();
  app.add_option("-f,--format", format, "y4m or nv12")
      ->check(CLI::IsMember({"y4m", "nv12"}))
      ->capture_default_str();
  app.add_option("-n,--frames", frames, "stop after this many pictures (0: until Ctrl-C)")
      ->capture_default_str();
  app.add_option("--timeout", timeout_s, "give up after this many seconds without a picture")
      ->capture_default_str();
  app.add_option("--fps", fps, "frame rate written in the Y4M header")->capture_default_str();
  app.add_option("--section", section, "section name")->capture_default_str();
  app.add_option("--event", event, "event name")->capture_default_str();
  app.set_version_flag("--version", "pellion-view " PELLION_VERSION);
  CLI11_PARSE(app, argc, argv);

  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  pellion::FrameReader reader;
  auto wait_start = std::chrono::steady_clock::now();
  while (!reader.Open(section, event)) {
    if (g_stop || std::chrono::steady_clock::now() - wait_start > std::chrono::seconds(timeout_s)) {
      std::fprintf(stderr, "pellion-view: section %s / event %s not there: %s\n", section.c_str(),
                   event.c_str(), std::strerror(reader.error()));
      return 1;
    }
    usleep(100 * 1000);  // the plug-in has not been built yet
  }
  FILE* out = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "pellion-view: cannot write %s: %s\n", output.c_str(),
                 std::strerror(errno));
    return 1;
  }
  Nv12ToI420 converter;
  std::vector<uint8_t> picture, i420;
  pellion::FrameHeader h;
  int written = 0, gaps = 0, in_second = 0;
  pellion_tools::ReadStats stats;
  uint32_t last_index = 0;
  bool header_written = false;
  int header_w = 0, header_h = 0;
  auto second_start = std::chrono::steady_clock::now();
  auto last_picture = second_start;
  while (!g_stop && (frames == 0 || written < frames)) {
    auto now = std::chrono::steady_clock::now();
    if (now - second_start >= std::chrono::seconds(1)) {
      std::fprintf(stderr, "pellion-view: %d pictures/s, %d written, %d index gaps, %d torn\n",
                   in_second, written, gaps, static_cast<int>(stats.torn()));
      in_second = 0;
      second_start = now;
    }
    if (!reader.Wait(200)) {
      if (now - last_picture > std::chrono::seconds(timeout_s)) {
        std::fprintf(stderr, "pellion-view: no picture for %d s\n", timeout_s);
        break;
      }
      continue;
    }
    pellion::FramePublication info;
    const pellion::ReadResult result = reader.ReadWhole(&h, &picture, &info);
    if (result == pellion::ReadResult::kUnavailable) continue;
    last_picture = now;
    // A torn copy may mix two pictures: it is counted, not written.
    if (!stats.Count(result, info)) continue;
    if (written > 0 && h.frame_index != last_index + 1) ++gaps;
    last_index = h.frame_index;
    if (format == "nv12") {
      std::fwrite(picture.data(), 1, picture.size(), out);
    } else {
      if (!header_written) {
        std::fprintf(out, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg\n", h.width, h.height, fps);
        header_written = true;
        header_w = h.width;
        header_h = h.height;
      }
      if (h.width != header_w || h.height != header_h) {
        std::fprintf(stderr, "pellion-view: size changed to %dx%d; Y4M keeps one size, stopping\n",
                     h.width, h.height);
        break;
      }
      if (!converter.Convert(picture, h.width, h.height, &i420)) continue;
      std::fputs("FRAME\n", out);
      std::fwrite(i420.data(), 1, i420.size(), out);
    }
    std::fflush(out);
    ++written;
    ++in_second;
  }
  std::fprintf(stderr, "pellion-view: %d pictures written, %d index gaps, %d torn\n", written, gaps,
               static_cast<int>(stats.torn()));
  std::fprintf(stderr, "pellion-view: %s\n", stats.Summary().c_str());
  if (out != stdout) std::fclose(out);
  return written > 0 ? 0 : 1;
}
