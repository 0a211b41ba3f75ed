#include "common/reference.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>

namespace testing_util {

namespace fs = std::filesystem;

fs::path ClipPath(const std::string& name) { return fs::path(PELLION_CLIPS_DIR) / name; }

bool ClipSize(const std::string& clip, int* width, int* height) {
  const size_t under = clip.rfind('_');
  return under != std::string::npos &&
         std::sscanf(clip.c_str() + under + 1, "%dx%d", width, height) == 2;
}

std::vector<uint8_t> ReadDecode(const std::string& clip) {
  // One read: a byte at a time through a stream iterator takes seconds under the sanitizers.
  std::ifstream f(ClipPath(clip + ".nv12"), std::ios::binary | std::ios::ate);
  std::vector<uint8_t> bytes(f ? static_cast<size_t>(f.tellg()) : 0);
  f.seekg(0);
  f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

Clip LoadClip(const std::string& name) {
  Clip c;
  auto codec = pellion_tools::CodecFromFileName(name);
  if (!codec) return c;
  c.bytes = pellion_tools::ReadWholeFile(ClipPath(name).string());
  c.units = pellion_tools::SplitAccessUnits(*codec, c.bytes).units;
  return c;
}

bool Reference::Load(const std::string& clip) {
  int width = 0, height = 0;
  if (!ClipSize(clip, &width, &height)) return false;
  picture_size_ = static_cast<size_t>(width) * height + 2 * ((width + 1) / 2) * ((height + 1) / 2);
  pictures_ = ReadDecode(clip);
  static_cast<Clip&>(*this) = LoadClip(clip);
  if (pictures_.empty() || pictures_.size() % picture_size_ != 0 || units.empty()) return false;

  // The decode is in display order; ffprobe gives, per picture, where its access unit's first
  // start code's 00 00 01 begins (a unit may start with one more zero).
  std::map<size_t, size_t> au_at;
  for (size_t i = 0; i < units.size(); ++i) au_at[units[i].offset] = i;
  std::ifstream order(ClipPath(clip + ".order"));
  display_.assign(units.size(), SIZE_MAX);
  size_t offset = 0, position = 0;
  while (order >> offset) {
    auto it = au_at.upper_bound(offset);
    if (it == au_at.begin()) return false;
    --it;
    if (offset - it->first > 1 || display_[it->second] != SIZE_MAX) return false;
    display_[it->second] = position++;
  }
  return position == count() && position == units.size();
}

std::span<const uint8_t> Reference::Picture(size_t au) const {
  if (au >= display_.size() || display_[au] >= count()) return {};
  return std::span<const uint8_t>(pictures_).subspan(display_[au] * picture_size_, picture_size_);
}

size_t Reference::DisplayPosition(size_t au) const {
  return au < display_.size() ? display_[au] : SIZE_MAX;
}

const Reference& ReferenceOf(const std::string& clip) {
  static std::mutex mu;
  static std::map<std::string, Reference> loaded;
  std::lock_guard<std::mutex> lock(mu);
  auto [it, fresh] = loaded.try_emplace(clip);
  if (fresh && !it->second.Load(clip)) it->second = Reference();
  return it->second;
}

}  // namespace testing_util
