// The shared frame section: 13-byte packed little-endian header, then the NV12 picture.
#include "ShareMemVFrame.h"

#include <algorithm>
#include <cstring>

#include "log/log.h"

namespace {

void PutLe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

ShareMemVFrame::ShareMemVFrame(const std::string& section_name, const std::string& event_name,
                               size_t section_size)
    : event_(std::make_unique<NORV::sSubSystem::CAutoEvent>(event_name, false, true)) {
  if (!section_.Create(section_name, section_size))
    LOGE << "create section " << section_name << " failed: " << section_.error();
  EnsureMapped();
}

ShareMemVFrame::~ShareMemVFrame() {
  view_.Unmap();
  section_.Close();
  event_.reset();
}

bool ShareMemVFrame::EnsureMapped() {
  if (view_.data() != nullptr) return true;
  if (!view_.Map(section_, true)) return false;
  // Touch every page once, so that the first pictures do not pay the faults.
  for (size_t off = 0; off < view_.size(); off += 4096) {
    volatile uint8_t* p = view_.data() + off;
    *p = *p;
  }
  return true;
}

bool ShareMemVFrame::WriteTo(uint32_t frame_index, uint32_t width, uint32_t height,
                             const std::vector<uint8_t>& picture) {
  if (picture.size() > pellion::kFramePictureCapacity || width > 0xFFFF || height > 0xFFFF) {
    LOGE << "memory VFRAME too large";
    return false;
  }
  if (!EnsureMapped()) {
    LOGE << "memory OpenView fail:" << view_.error();
    return false;
  }
  // Another process may have shrunk the section: write only what it really holds.
  size_t real = std::min(section_.size(), view_.size());
  if (pellion::kFrameHeaderSize + picture.size() > real) {
    LOGE << "memory VFRAME too large";
    return false;
  }
  uint8_t* base = view_.data();
  PutLe16(base + 5, width);
  PutLe16(base + 7, height);
  PutLe32(base + 9, static_cast<uint32_t>(picture.size()));
  PutLe32(base + 1, frame_index);
  std::memcpy(base + pellion::kFrameHeaderSize, picture.data(), picture.size());
  event_->Set();
  return true;
}
