// What the soak reads back: the ffmpeg command's decode of the clip, the host's record of the
// pictures it read, the sender's trace, the host's logs and its memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench_clips.h"

namespace soak {

namespace fs = std::filesystem;

// The ffmpeg command's decode of every access unit of the clip, as hashes; empty on failure.
std::vector<uint64_t> ReferenceHashes(const fs::path& clip, int width, int height,
                                      const bench::Scratch& scratch);

struct Picture {
  int64_t us;
  uint32_t index;
  uint64_t hash;
};
struct HostRecord {
  std::vector<Picture> pictures;
  std::vector<int64_t> restarts;
};

// pellion-host's --hashes file: "picture US INDEX SIZE HASH" and "restart US" lines.
HostRecord ReadHashes(const fs::path& path);

// The sender's trace: frame index -> access unit of the clip.
std::map<uint32_t, size_t> UnitsOf(const fs::path& trace);

// Resident memory of a process in KiB, 0 when unknown.
long RssKiB(long pid);

std::string ReadText(const fs::path& p);

// Every log file under `dir`, one after another.
std::string AllLogs(const fs::path& dir);

// Calls `f` with the text after each occurrence of `needle`.
template <typename F>
void ForEachAfter(const std::string& text, const std::string& needle, F f) {
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    f(text.c_str() + at + needle.size());
}

}  // namespace soak
