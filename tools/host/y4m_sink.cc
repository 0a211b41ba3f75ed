#include "y4m_sink.h"

namespace pellion_tools {

bool Y4mSink::Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) {
  if (!out_) return false;
  if (header_written_ && (h.width != width_ || h.height != height_)) {
    std::fprintf(stderr, "%s: size changed to %dx%d; Y4M keeps one size, stopping\n", tool_,
                 h.width, h.height);
    return false;
  }
  // A picture that does not convert is left out; the file stays whole.
  if (!converter_.Convert(nv12, h.width, h.height, &i420_)) return true;
  FILE* f = out_.get();
  if (!header_written_) {
    std::fprintf(f, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg\n", h.width, h.height, fps_);
    header_written_ = true;
    width_ = h.width;
    height_ = h.height;
  }
  std::fputs("FRAME\n", f);
  // Flushed per picture, so that a player reading a pipe keeps up.
  if (std::fwrite(i420_.data(), 1, i420_.size(), f) != i420_.size() || std::fflush(f) != 0) {
    SayCannotWrite(tool_, path_);
    out_.Close();
    write_failed_ = true;
    return false;
  }
  return true;
}

bool Y4mSink::Finish() {
  if (write_failed_) return false;
  if (out_.Close()) return true;
  SayCannotWrite(tool_, path_);
  return false;
}

}  // namespace pellion_tools
