#include "dump_sink.h"

#include "../dump_record.h"

namespace pellion_tools {

bool DumpSink::Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) {
  if (out_ && AppendDumpRecord(out_.get(), h, nv12)) return true;
  SayCannotWrite(tool_, path_);
  // Nothing more is appended after a short record: a reader would take its tail for a header.
  out_.Close();
  return false;
}

bool DumpSink::Finish() {
  if (out_.Close()) return true;
  SayCannotWrite(tool_, path_);
  return false;
}

}  // namespace pellion_tools
