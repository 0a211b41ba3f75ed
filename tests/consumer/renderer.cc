// A minimal renderer: reads the pictures the plug-in publishes through the installed header.
// Exits 0 once it has read the wanted number of pictures, 1 when none came in time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "pellion/frame_section.h"

int main(int argc, char** argv) {
  int wanted = argc > 1 ? std::atoi(argv[1]) : 30;
  int timeout_s = argc > 2 ? std::atoi(argv[2]) : 20;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  pellion::FrameReader reader;
  // The host creates the section when its channel starts.
  while (!reader.Open()) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "consumer_renderer: no section (error %d)\n", reader.error());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  int pictures = 0;
  pellion::FrameHeader header;
  std::vector<uint8_t> picture;
  while (pictures < wanted && std::chrono::steady_clock::now() < deadline) {
    if (!reader.Wait(500) || !reader.Read(&header, &picture)) continue;
    if (picture.size() != size_t{header.width} * header.height * 3 / 2) {
      std::fprintf(stderr, "consumer_renderer: %ux%u picture of %zu bytes\n", header.width,
                   header.height, picture.size());
      return 1;
    }
    ++pictures;
  }
  std::printf("consumer_renderer: %d pictures, last %u (%ux%u)\n", pictures, header.frame_index,
              header.width, header.height);
  return pictures >= wanted ? 0 : 1;
}
