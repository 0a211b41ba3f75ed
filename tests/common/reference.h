// The build's test clips: their access units, and the ffmpeg command's decode of each clip
// (NV12, display order) with ffprobe's order of its pictures.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "elementary_stream.h"

namespace testing_util {

std::filesystem::path ClipPath(const std::string& name);
// "name_<W>x<H>.<ext>" -> W, H.
bool ClipSize(const std::string& clip, int* width, int* height);
// The clip's decode as the ffmpeg command wrote it; empty when there is none.
std::vector<uint8_t> ReadDecode(const std::string& clip);

struct Clip {
  std::vector<uint8_t> bytes;
  std::vector<pellion_tools::AccessUnit> units;
  std::span<const uint8_t> Unit(size_t i) const {
    return std::span<const uint8_t>(bytes).subspan(units[i].offset, units[i].size);
  }
};
// Split by the codec its name gives; no units when it cannot be read.
Clip LoadClip(const std::string& name);

// A clip and the ffmpeg command's picture of each of its access units.
class Reference : public Clip {
 public:
  bool Load(const std::string& clip);
  size_t count() const { return pictures_.size() / picture_size_; }
  size_t picture_size() const { return picture_size_; }
  // The picture of access unit `au` (in stream order); empty when it has none.
  std::span<const uint8_t> Picture(size_t au) const;
  size_t DisplayPosition(size_t au) const;

 private:
  std::vector<uint8_t> pictures_;  // in display order
  size_t picture_size_ = 1;
  std::vector<size_t> display_;  // per access unit
};

// Loaded once per clip and process: matrices run each clip many times. No units when the clip
// has no reference.
const Reference& ReferenceOf(const std::string& clip);

}  // namespace testing_util
