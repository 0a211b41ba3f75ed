// --dump: every picture as a record of dump_record.h, flushed at once.
#pragma once

#include <string>

#include "file.h"
#include "picture_sink.h"

namespace pellion_tools {

class DumpSink : public PictureSink {
 public:
  DumpSink(const char* tool, std::string path, File out)
      : tool_(tool), path_(std::move(path)), out_(std::move(out)) {}
  bool Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) override;
  bool Finish() override;

 private:
  const char* tool_;
  std::string path_;
  File out_;
};

}  // namespace pellion_tools
