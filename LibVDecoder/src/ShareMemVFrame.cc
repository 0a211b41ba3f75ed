// The shared frame section: 13-byte packed little-endian header, then the NV12 picture.
#include "ShareMemVFrame.h"

#include <algorithm>
#include <cstring>

#include "log/log.h"
#include "platform/process.h"

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
  if (EnsureMapped()) InitRecord();
}

ShareMemVFrame::~ShareMemVFrame() {
  view_.Unmap();
  section_.Close();
  event_.reset();
}

bool ShareMemVFrame::EnsureMapped() {
  if (view_.data() != nullptr) return true;
  if (!view_.Map(section_, true)) return false;
  // Fault every page in once, so that the first pictures do not pay the faults.
  view_.Prefault();
  return true;
}

uint8_t* ShareMemVFrame::Record(size_t real_size) const {
  if (view_.data() == nullptr ||
      std::min(real_size, view_.size()) < pellion::kFrameRecordOffset + pellion::kFrameRecordSize)
    return nullptr;
  return view_.data() + pellion::kFrameRecordOffset;
}

void ShareMemVFrame::InitRecord() {
  using pellion::RecordField;
  uint8_t* record = Record(section_.size());
  if (record == nullptr) return;
  auto&& magic = RecordField<uint32_t>(record, pellion::kRecordMagic);
  auto&& sequence = RecordField<uint64_t>(record, pellion::kRecordSequence);
  if (magic.load(std::memory_order_acquire) == pellion::kFrameRecordMagic) {
    // A writer that died half way left it odd; the sequence goes on from there, so that a reader
    // holding the section sees it only ever rise. A writer that lives (another process's
    // channel, mid-picture) is left to end its picture: made even now, its half-written pixels
    // would pass for whole, and its own closing store would confirm them.
    uint64_t s = sequence.load(std::memory_order_relaxed);
    const uint32_t writer =
        RecordField<uint32_t>(record, pellion::kRecordWriterId).load(std::memory_order_relaxed);
    if ((s & 1) != 0 && !platform::ProcessAlive(writer))
      sequence.store(s + 1, std::memory_order_release);
  } else {
    sequence.store(0, std::memory_order_relaxed);
    for (size_t off = pellion::kRecordFrameIndex; off < pellion::kFrameRecordSize; off += 4)
      RecordField<uint32_t>(record, off).store(0, std::memory_order_relaxed);
  }
  RecordField<uint32_t>(record, pellion::kRecordVersion)
      .store(pellion::kFrameRecordVersion, std::memory_order_relaxed);
  magic.store(pellion::kFrameRecordMagic, std::memory_order_release);
}

bool FramePublisher::Publish(uint32_t frame_index, uint32_t width, uint32_t height,
                             const Fill& fill) {
  std::vector<uint8_t> picture(pellion::Nv12ByteCount(width, height));
  return fill(picture.data()) && WriteTo(frame_index, width, height, picture);
}

bool ShareMemVFrame::WriteTo(uint32_t frame_index, uint32_t width, uint32_t height,
                             const std::vector<uint8_t>& picture) {
  return Write(frame_index, width, height, picture.size(), [&](uint8_t* pixels) {
    if (mid_copy_hook_) {
      const size_t half = picture.size() / 2;
      std::memcpy(pixels, picture.data(), half);
      mid_copy_hook_();
      std::memcpy(pixels + half, picture.data() + half, picture.size() - half);
    } else {
      std::memcpy(pixels, picture.data(), picture.size());
    }
    return true;
  });
}

bool ShareMemVFrame::Publish(uint32_t frame_index, uint32_t width, uint32_t height,
                             const Fill& fill) {
  const uint64_t size = pellion::Nv12ByteCount(width, height);
  if (size > pellion::kFramePictureCapacity) {
    RefuseSize(static_cast<size_t>(std::min<uint64_t>(size, SIZE_MAX)));
    return false;
  }
  return Write(frame_index, width, height, static_cast<size_t>(size), fill);
}

void ShareMemVFrame::RefuseSize(size_t size) {
  if (refused_sizes_.size() < 64 && refused_sizes_.insert(size).second)
    LOGE << "memory VFRAME too large";
}

bool ShareMemVFrame::Write(uint32_t frame_index, uint32_t width, uint32_t height, size_t size,
                           const Fill& fill) {
  if (size > pellion::kFramePictureCapacity || width > 0xFFFF || height > 0xFFFF) {
    RefuseSize(size);
    return false;
  }
  if (!EnsureMapped()) {
    LOGE << "memory OpenView fail:" << view_.error();
    return false;
  }
  // Another process may have shrunk the section: write only what it really holds.
  size_t real = std::min(section_.size(), view_.size());
  if (pellion::kFrameHeaderSize + size > real) {
    RefuseSize(size);
    return false;
  }
  using pellion::RecordField;
  uint8_t* base = view_.data();
  uint8_t* record = Record(real);
  uint64_t sequence = 0;
  if (record != nullptr) {
    auto&& seq = RecordField<uint64_t>(record, pellion::kRecordSequence);
    sequence = seq.load(std::memory_order_relaxed);
    sequence += (sequence & 1) + 1;  // odd: a picture is on its way
    seq.store(sequence, std::memory_order_relaxed);
    // Who writes it, from the start: another process that opens the section meanwhile must see
    // a live writer.
    RecordField<uint32_t>(record, pellion::kRecordWriterId)
        .store(static_cast<uint32_t>(platform::GetCurrentProcessId()), std::memory_order_relaxed);
    pellion::RecordFence(std::memory_order_release);
  }
  PutLe16(base + 5, width);
  PutLe16(base + 7, height);
  PutLe32(base + 9, static_cast<uint32_t>(size));
  PutLe32(base + 1, frame_index);
  // Failed half way: the record stays odd, so the picture never reads as whole.
  if (!fill(base + pellion::kFrameHeaderSize)) return false;
  if (record != nullptr) {
    RecordField<uint32_t>(record, pellion::kRecordFrameIndex)
        .store(frame_index, std::memory_order_relaxed);
    RecordField<uint16_t>(record, pellion::kRecordWidth)
        .store(static_cast<uint16_t>(width), std::memory_order_relaxed);
    RecordField<uint16_t>(record, pellion::kRecordHeight)
        .store(static_cast<uint16_t>(height), std::memory_order_relaxed);
    RecordField<uint32_t>(record, pellion::kRecordByteCount)
        .store(static_cast<uint32_t>(size), std::memory_order_relaxed);
    RecordField<uint32_t>(record, pellion::kRecordWriterId)
        .store(static_cast<uint32_t>(platform::GetCurrentProcessId()), std::memory_order_relaxed);
    RecordField<int64_t>(record, pellion::kRecordPublishedUs)
        .store(pellion::PublicationClockUs(), std::memory_order_relaxed);
    RecordField<uint64_t>(record, pellion::kRecordSequence)
        .store(sequence + 1, std::memory_order_release);
  }
  event_->Set();
  return true;
}
