#include "soak_record.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench_process.h"

namespace soak {
namespace {

uint64_t Fnv1a(const uint8_t* p, size_t n) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

}  // namespace

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

std::map<uint32_t, size_t> UnitsOf(const fs::path& trace) {
  // A line per frame: "index unit key last-datagram-us".
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

long RssKiB(long pid) {
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

std::string AllLogs(const fs::path& dir) {
  std::string all;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->is_regular_file()) all += ReadText(it->path());
  return all;
}

}  // namespace soak
