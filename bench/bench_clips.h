// Clips for the benchmarks: the build's, or made on the spot with the ffmpeg command in a folder
// of the run's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "elementary_stream.h"

namespace bench {

namespace fs = std::filesystem;

// A folder of its own for clips made on the spot and looped copies, removed at the end.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
};

// x264 without B-frames, a key frame a second, in `slices` slices. With -tune zerolatency x264
// encodes in sliced threads, a slice per thread of the encoding machine whatever slices= says;
// without them the count is the one given.
std::vector<std::string> X264(int slices, const char* preset = "medium");

// x265 without B-frames, a key frame a second, in wavefronts (WPP).
extern const std::vector<std::string> kX265;

struct ClipRecipe {
  std::string name;  // as in the build's clips folder
  std::string size;  // WxH
  int frames;
  // Encoder options for making it when the build has none.
  std::vector<std::string> encoder;
};

// The build's four clips the decode and channel figures share.
struct StandardClips {
  ClipRecipe h264_1080p, hevc_1080p, h264_4k, hevc_4k;
};
const StandardClips& Standard();

// The build's clip when it has one, else one made in `scratch`; empty when making it failed.
fs::path FindClip(const ClipRecipe& c, const Scratch& scratch);

struct Clip {
  fs::path path;
  pellion_tools::Codec codec = pellion_tools::Codec::kH264;
  std::vector<uint8_t> bytes;
  std::vector<pellion_tools::AccessUnit> units;
  // Access unit `i`, the clip over and over.
  std::string Unit(size_t i) const;
};

// The clip of `recipe`, found or made, loaded into *clip; false (said on stderr) if none.
bool GetClip(const ClipRecipe& recipe, const Scratch& scratch, Clip* clip);

// A figure's clip and how many frames it takes at least, the clip over and over.
struct Case {
  const char* label;
  ClipRecipe recipe;
  int frames;
};

// Whole passes of the clip that make at least `frames` frames.
int Passes(int frames, const Clip& clip);

// The clip `times` over in one file: an elementary stream starting with a key frame can simply
// follow itself, and the ffmpeg command then decodes as many frames as the channel gets.
fs::path Repeated(const Clip& clip, int times, const Scratch& scratch);

// Warm-up frames left out of the steady state: two seconds and at least one pass of the clip.
// The first frame opens the decoder, and at 4K the frames queued behind it take over a second
// to catch up.
size_t WarmUp(const Clip& clip);

}  // namespace bench
