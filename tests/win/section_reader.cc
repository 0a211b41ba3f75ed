// A renderer in its own process: opens the section and event by name, says "ready", waits for
// one picture and prints its header and a hash of its bytes.
//   section_reader SECTION EVENT TIMEOUT_MS
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pellion/frame_section.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  pellion::FrameReader reader;
  if (!reader.Open(argv[1], argv[2])) {
    std::printf("open failed %d\n", reader.error());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  if (!reader.Wait(std::atoi(argv[3]))) {
    std::printf("timeout\n");
    return 1;
  }
  pellion::FrameHeader h;
  std::vector<uint8_t> picture;
  if (!reader.Read(&h, &picture)) return 1;
  uint64_t hash = 0xcbf29ce484222325ull;
  for (uint8_t b : picture) hash = (hash ^ b) * 0x100000001b3ull;
  std::printf("picture %u %ux%u %zu %016llx\n", h.frame_index, h.width, h.height, picture.size(),
              static_cast<unsigned long long>(hash));
  return 0;
}
