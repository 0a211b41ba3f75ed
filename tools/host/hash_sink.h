// --hashes: a line per picture (time, index, size, FNV-1a of the bytes) and one per restart.
#pragma once

#include <string>

#include "file.h"
#include "picture_sink.h"

namespace pellion_tools {

// 64-bit FNV-1a: a picture's identity in --hashes lines, cheap next to a decode.
uint64_t Fnv1a(const std::vector<uint8_t>& bytes);

class HashSink : public PictureSink {
 public:
  HashSink(const char* tool, std::string path, File out)
      : tool_(tool), path_(std::move(path)), out_(std::move(out)) {}
  bool Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) override;
  void Restarting() override;
  bool Finish() override;

 private:
  const char* tool_;
  std::string path_;
  File out_;
};

}  // namespace pellion_tools
