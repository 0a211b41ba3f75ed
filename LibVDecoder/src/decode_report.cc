#include "decode_report.h"

#include <algorithm>
#include <sstream>

bool DecodeReport::Due(uint32_t now_ms) {
  if (!clock_ms_) clock_ms_ = now_ms;
  if (now_ms - *clock_ms_ < kIntervalMs) return false;
  clock_ms_ = now_ms;
  return true;
}

std::string DecodeReport::TakeDecodeLine() {
  std::string line =
      std::to_string(decode_count_ > 0 ? decode_sum_ms_ / decode_count_ : 0) + "(ms/df)";
  decode_sum_ms_ = 0;
  decode_count_ = 0;
  return line;
}

std::string PolicyLine(const KeyFramePolicy::Stats& s) {
  using W = KeyFramePolicy::Withheld;
  auto withheld = [&](W w) { return s.withheld[static_cast<int>(w)]; };
  std::ostringstream out;
  out << "pictures " << s.published << " published, withheld: waiting " << withheld(W::kWaiting)
      << " leading " << withheld(W::kLeading) << " late " << withheld(W::kLate) << " corrupt "
      << withheld(W::kCorrupt) << "; breaks " << s.breaks;
  if (!s.back_after_ms.empty()) {
    std::vector<uint32_t> back = s.back_after_ms;
    std::sort(back.begin(), back.end());
    out << ", back after p50/max " << back[(back.size() - 1) / 2] << "/" << back.back() << " ms";
  }
  return out.str();
}
