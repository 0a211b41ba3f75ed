#include "bench_clips.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "bench_process.h"

namespace bench {

Scratch::Scratch() {
  char tmpl[] = "/tmp/pellion-bench-XXXXXX";
  if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
}

Scratch::~Scratch() {
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

std::vector<std::string> X264(int slices, const char* preset) {
  return {"-c:v", "libx264",      "-preset",
          preset, "-tune",        "zerolatency",
          "-g",   "30",           "-bf",
          "0",    "-x264-params", "sliced-threads=0:slices=" + std::to_string(slices),
          "-f",   "h264"};
}

const std::vector<std::string> kX265 = {
    "-c:v",    "libx265",   "-tune",        "zerolatency",
    "-preset", "ultrafast", "-x265-params", "bframes=0:keyint=30:wpp=1:log-level=error",
    "-f",      "hevc"};

const StandardClips& Standard() {
  static const StandardClips clips{
      {"h264_1920x1080.h264", "1920x1080", 30, X264(1)},
      {"hevc_1920x1080.h265", "1920x1080", 30, kX265},
      {"h264_3840x2160.h264", "3840x2160", 30, X264(1, "veryfast")},
      {"hevc_3840x2160.h265", "3840x2160", 10, kX265},
  };
  return clips;
}

fs::path FindClip(const ClipRecipe& c, const Scratch& scratch) {
  fs::path built = fs::path(PELLION_BENCH_CLIPS_DIR) / c.name;
  if (fs::exists(built)) return built;
  fs::path made = scratch.dir() / c.name;
  if (fs::exists(made)) return made;
  std::fprintf(stderr, "bench: the build has no %s; making it in %s\n", c.name.c_str(),
               scratch.dir().c_str());
  std::vector<std::string> argv = {PELLION_BENCH_FFMPEG,
                                   "-hide_banner",
                                   "-loglevel",
                                   "error",
                                   "-y",
                                   "-f",
                                   "lavfi",
                                   "-i",
                                   "testsrc2=size=" + c.size + ":rate=30",
                                   "-frames:v",
                                   std::to_string(c.frames),
                                   "-pix_fmt",
                                   "yuv420p"};
  argv.insert(argv.end(), c.encoder.begin(), c.encoder.end());
  argv.push_back(made.string());
  if (Run(argv) != 0) return {};
  return made;
}

std::string Clip::Unit(size_t i) const {
  const auto& u = units[i % units.size()];
  return std::string(reinterpret_cast<const char*>(bytes.data()) + u.offset, u.size);
}

namespace {

bool LoadClip(const fs::path& path, Clip* clip) {
  auto codec = pellion_tools::CodecFromFileName(path.string());
  if (!codec) return false;
  try {
    clip->path = path;
    clip->codec = *codec;
    clip->bytes = pellion_tools::ReadWholeFile(path.string());
    clip->units = pellion_tools::SplitAccessUnits(*codec, clip->bytes).units;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench: %s\n", e.what());
    return false;
  }
  return !clip->units.empty();
}

}  // namespace

bool GetClip(const ClipRecipe& recipe, const Scratch& scratch, Clip* clip) {
  fs::path path = FindClip(recipe, scratch);
  if (!path.empty() && LoadClip(path, clip)) return true;
  std::fprintf(stderr, "bench: no clip %s\n", recipe.name.c_str());
  return false;
}

int Passes(int frames, const Clip& clip) {
  const int units = static_cast<int>(clip.units.size());
  return (frames + units - 1) / units;
}

fs::path Repeated(const Clip& clip, int times, const Scratch& scratch) {
  // Appended, not "x" + ...: g++ 12 at -O3 warns wrongly about that (-Wrestrict).
  std::string name = "x";
  name.append(std::to_string(times)).append("_").append(clip.path.filename().string());
  fs::path out = scratch.dir() / name;
  std::ofstream f(out, std::ios::binary);
  for (int i = 0; i < times; ++i)
    f.write(reinterpret_cast<const char*>(clip.bytes.data()),
            static_cast<std::streamsize>(clip.bytes.size()));
  // A full disk shows only once the buffer goes out.
  f.flush();
  return f ? out : fs::path();
}

size_t WarmUp(const Clip& clip) { return std::max<size_t>(clip.units.size(), 60); }

}  // namespace bench
