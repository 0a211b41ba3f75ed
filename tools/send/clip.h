// Reads an elementary-stream file and plays it as a frame source.
#pragma once

#include <cstdint>
#include <vector>

#include "elementary_stream.h"
#include "source.h"

namespace pellion_send {

struct Options;

// Plays a split file `loops` times (0: without end); access-unit numbers restart each pass.
class FileSource final : public FrameSource {
 public:
  FileSource(std::vector<uint8_t> bytes, pellion_tools::SplitStream stream, uint64_t loops);

  bool Next(Frame* frame) override;
  void RequestKeyFrame() override { jump_ = true; }

 private:
  bool NextPass();
  bool SeekKey();

  std::vector<uint8_t> bytes_;
  pellion_tools::SplitStream stream_;
  uint64_t loops_;
  bool has_key_;
  uint64_t passes_ = 0;
  size_t next_ = 0;
  bool jump_ = false;
  bool told_no_key_ = false;
};

// Reads and checks the file, and works out what --drop-before-key needs.
OpenedSource OpenFile(const Options& o);

}  // namespace pellion_send
