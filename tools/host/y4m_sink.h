// Writes the pictures as Y4M (I420): one header, from the first picture; a picture of another
// size ends the file, since Y4M keeps one size.
#pragma once

#include <string>

#include "../nv12_to_i420.h"
#include "file.h"
#include "picture_sink.h"

namespace pellion_tools {

class Y4mSink : public PictureSink {
 public:
  // `tool` and `path` name the open file `out` in messages.
  Y4mSink(const char* tool, std::string path, File out, int fps)
      : tool_(tool), path_(std::move(path)), out_(std::move(out)), fps_(fps) {}
  bool Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) override;
  // False after a failed write too; a picture of another size is no failure of the file.
  bool Finish() override;

 private:
  const char* tool_;
  std::string path_;
  File out_;
  int fps_;
  Nv12ToI420 converter_;
  std::vector<uint8_t> i420_;
  bool header_written_ = false, write_failed_ = false;
  int width_ = 0, height_ = 0;
};

}  // namespace pellion_tools
