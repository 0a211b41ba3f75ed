// ShareMemVFrame: publishes each accepted picture in a named shared section and signals a
// named event, for the host's renderer in another process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "file/SharedMemory.h"
#include "pellion/frame_section.h"
#include "subsystem/AutoEvent.h"

// Where accepted pictures go; the decoder thread's only view of the publisher.
class FramePublisher {
 public:
  // Writes a whole NV12 picture into `dst`; false when it could not (and said why).
  using Fill = std::function<bool(uint8_t* dst)>;

  virtual ~FramePublisher() = default;
  virtual bool WriteTo(uint32_t frame_index, uint32_t width, uint32_t height,
                       const std::vector<uint8_t>& picture) = 0;
  // A width x height NV12 picture that `fill` writes where it is published. By default
  // through a picture of its own and WriteTo.
  virtual bool Publish(uint32_t frame_index, uint32_t width, uint32_t height, const Fill& fill);
};

class ShareMemVFrame : public FramePublisher {
 public:
  // Creates the event and the section (grown when an existing one is smaller) at once.
  explicit ShareMemVFrame(const std::string& section_name = pellion::kFrameSectionName,
                          const std::string& event_name = pellion::kFrameEventName,
                          size_t section_size = pellion::kFrameSectionSize);
  ~ShareMemVFrame() override;

  // Decoder thread. Marks the record busy, writes the header and the picture, completes the
  // record, then sets the event.
  bool WriteTo(uint32_t frame_index, uint32_t width, uint32_t height,
               const std::vector<uint8_t>& picture) override;
  // Converted straight into the section, inside the record's write window. A fill that fails
  // leaves the sequence odd and sets no event: the picture it overwrote is gone, and no reader
  // takes the half-written one for whole (it reads as torn, then as unavailable).
  bool Publish(uint32_t frame_index, uint32_t width, uint32_t height, const Fill& fill) override;

  // Called half way through each picture's copy, with the sequence odd; for tests that need a
  // picture caught in the middle.
  void SetMidCopyHookForTesting(std::function<void()> hook) { mid_copy_hook_ = std::move(hook); }

 private:
  // The steps both entries share: refusal, the window, the header, `fill`, the record, the event.
  bool Write(uint32_t frame_index, uint32_t width, uint32_t height, size_t size, const Fill& fill);
  // "too large", once per size: a stream of them would flood the log.
  void RefuseSize(size_t size);
  bool EnsureMapped();
  // The record's bytes, or null when the section is too small to hold it.
  uint8_t* Record(size_t real_size) const;
  void InitRecord();

  std::function<void()> mid_copy_hook_;
  std::set<size_t> refused_sizes_;

  std::unique_ptr<NORV::sSubSystem::CAutoEvent> event_;
  NORV::sFileManager::SharedMemory section_;
  // Mapped once and kept: a fresh mapping per picture costs its page faults every time.
  NORV::sFileManager::SharedMemoryView view_;
};
