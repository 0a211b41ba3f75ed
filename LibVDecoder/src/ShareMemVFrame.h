// ShareMemVFrame: publishes each accepted picture in a named shared section and signals a
// named event, for the host's renderer in another process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "file/SharedMemory.h"
#include "pellion/frame_section.h"
#include "subsystem/AutoEvent.h"

// Where accepted pictures go; the decoder thread's only view of the publisher.
class FramePublisher {
 public:
  virtual ~FramePublisher() = default;
  virtual bool WriteTo(uint32_t frame_index, uint32_t width, uint32_t height,
                       const std::vector<uint8_t>& picture) = 0;
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

  // Called half way through each picture's copy, with the sequence odd; for tests that need a
  // picture caught in the middle.
  void SetMidCopyHookForTesting(std::function<void()> hook) { mid_copy_hook_ = std::move(hook); }

 private:
  bool EnsureMapped();
  // The record's bytes, or null when the section is too small to hold it.
  uint8_t* Record(size_t real_size) const;
  void InitRecord();

  std::function<void()> mid_copy_hook_;

  std::unique_ptr<NORV::sSubSystem::CAutoEvent> event_;
  NORV::sFileManager::SharedMemory section_;
  // Mapped once and kept: a fresh mapping per picture costs its page faults every time.
  NORV::sFileManager::SharedMemoryView view_;
};
