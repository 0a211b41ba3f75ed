// What a renderer can tell from the publication record about the pictures it copies: torn copies
// caught, pictures it never saw, and how old each picture was when it was copied.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pellion/frame_section.h"

namespace pellion_tools {

class ReadStats {
 public:
  // Counts one read. True when the copy is a whole picture to use, and not the last one again.
  bool Count(pellion::ReadResult result, const pellion::FramePublication& info) {
    if (result == pellion::ReadResult::kTorn) ++torn_;
    if (result != pellion::ReadResult::kGood) return false;
    if (!info.has_record) return true;
    // The picture already taken, read again: the event is set once per picture, but a wait can
    // end on a picture that was copied on the signal before.
    if (has_record_ && info.writer_id == last_writer_ && info.sequence == last_sequence_)
      return false;
    has_record_ = true;
    // A new writer, or a sequence that went back, starts the count afresh.
    if (last_sequence_ != 0 && info.writer_id == last_writer_ && info.sequence > last_sequence_ + 2)
      missed_ += (info.sequence - last_sequence_) / 2 - 1;
    last_sequence_ = info.sequence;
    last_writer_ = info.writer_id;
    ages_us_.push_back(pellion::PublicationClockUs() - info.published_us);
    return true;
  }

  long torn() const { return torn_; }
  uint64_t missed() const { return missed_; }

  // "N torn copies caught, M pictures missed, copy age p50 A us, p99 B us".
  std::string Summary() const {
    char line[200];
    if (!has_record_) {
      std::snprintf(line, sizeof line,
                    "%ld torn copies caught, no publication record (older plug-in)", torn_);
      return line;
    }
    std::snprintf(line, sizeof line,
                  "%ld torn copies caught, %llu pictures missed, copy age p50 %lld us, p99 %lld us",
                  torn_, static_cast<unsigned long long>(missed_),
                  static_cast<long long>(Percentile(50)), static_cast<long long>(Percentile(99)));
    return line;
  }

 private:
  int64_t Percentile(int p) const {
    if (ages_us_.empty()) return 0;
    std::vector<int64_t> v = ages_us_;
    size_t at = std::min(v.size() - 1, v.size() * static_cast<size_t>(p) / 100);
    std::nth_element(v.begin(), v.begin() + static_cast<long>(at), v.end());
    return v[at];
  }

  long torn_ = 0;
  uint64_t missed_ = 0;
  bool has_record_ = false;
  uint64_t last_sequence_ = 0;
  uint32_t last_writer_ = 0;
  std::vector<int64_t> ages_us_;
};

}  // namespace pellion_tools
