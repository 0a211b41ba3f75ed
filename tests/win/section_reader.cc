// A renderer in its own process: opens the section and event by name, says "ready", waits for
// one picture and prints its header and a hash of its bytes.
//   section_reader SECTION EVENT TIMEOUT_MS
// Or copies as fast as it can for SECONDS, and counts: every copy called good must be one uniform
// picture, of the byte 0xFF for an odd frame index and 0x00 for an even one.
//   section_reader SECTION EVENT stress SECONDS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pellion/frame_section.h"

namespace {

int Stress(pellion::FrameReader* reader, double seconds) {
  long good = 0, torn = 0, unavailable = 0, mixed = 0;
  pellion::FrameHeader h;
  pellion::FramePublication info;
  std::vector<uint8_t> picture;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    switch (reader->ReadWhole(&h, &picture, &info)) {
      case pellion::ReadResult::kTorn:
        ++torn;
        continue;
      case pellion::ReadResult::kUnavailable:
        ++unavailable;
        continue;
      case pellion::ReadResult::kGood:
        break;
    }
    ++good;
    const uint8_t want = (h.frame_index & 1) != 0 ? 0xFF : 0x00;
    if (!info.has_record || picture.size() != h.byte_count ||
        std::any_of(picture.begin(), picture.end(), [want](uint8_t b) { return b != want; }))
      ++mixed;
  }
  std::printf("good %ld torn %ld unavailable %ld mixed %ld\n", good, torn, unavailable, mixed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool stress = argc == 5 && std::strcmp(argv[3], "stress") == 0;
  if (!stress && argc != 4) return 2;
  pellion::FrameReader reader;
  if (!reader.Open(argv[1], argv[2])) {
    std::printf("open failed %d\n", reader.error());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  if (stress) return Stress(&reader, std::atof(argv[4]));
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
