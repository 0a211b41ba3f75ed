// Where the demo hosts send each picture they read from the frame section: a window, a Y4M
// file, a dump, a hash list.
#pragma once

#include <cstdint>
#include <vector>

#include "pellion/frame_section.h"

namespace pellion_tools {

class PictureSink {
 public:
  virtual ~PictureSink() = default;
  // False once the sink cannot go on; it has said why on stderr.
  virtual bool Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) = 0;
  // Between reads; false once the sink asks the run to end (its window was closed).
  virtual bool Pump() { return true; }
  // The channel was stopped and is about to start again.
  virtual void Restarting() {}
  // Closes; false when what was written did not all reach its file (said on stderr).
  virtual bool Finish() { return true; }
};

}  // namespace pellion_tools
