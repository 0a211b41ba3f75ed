// The process's FFmpeg log callback: a limit per format string, one for all, then FFmpeg's own
// output.
#include "ffmpeg_log.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "log/rate_limit.h"
#include "platform/clock.h"

extern "C" {
#include <libavutil/log.h>
}

namespace ffmpeg_log {
namespace {

using NORV::sLog::LogRateLimit;

// Formats are string literals inside FFmpeg: a format keeps its slot for the process's life.
// Those beyond the table share its last limiter.
constexpr size_t kSlots = 64;

struct Limits {
  std::mutex mu;  // guards formats
  const char* formats[kSlots] = {};
  LogRateLimit per_format[kSlots + 1];
  LogRateLimit all{kAllFormats, kWindowMs};
  // Left out, and not yet said: counted by no limiter, or due when a message left its line
  // open.
  std::atomic<uint32_t> unsaid{0};
};
static_assert(kPerFormat == LogRateLimit::kPerWindow && kWindowMs == LogRateLimit::kWindowMs);

// Never deleted: FFmpeg may log from threads that outlive statics.
std::atomic<Limits*> g_limits{new Limits};

Limits& TheLimits() { return *g_limits.load(std::memory_order_acquire); }

LogRateLimit& ForFormat(Limits& l, const char* fmt) {
  const size_t start = (reinterpret_cast<uintptr_t>(fmt) >> 3) % kSlots;
  std::lock_guard<std::mutex> lock(l.mu);
  for (size_t i = 0; i < kSlots; ++i) {
    const size_t at = (start + i) % kSlots;
    if (l.formats[at] == fmt) return l.per_format[at];
    if (l.formats[at] == nullptr) {
      l.formats[at] = fmt;
      return l.per_format[at];
    }
  }
  return l.per_format[kSlots];
}

void Forward(void* avcl, int level, const char* fmt, ...) {
  va_list vl;
  va_start(vl, fmt);
  av_log_default_callback(avcl, level, fmt, vl);
  va_end(vl);
}

void Callback(void* avcl, int level, const char* fmt, va_list vl) {
  if (fmt == nullptr || (level & 0xff) > av_log_get_level()) return;
  Limits& l = TheLimits();
  const uint32_t now = platform::ClockMs();
  const LogRateLimit::Verdict mine = ForFormat(l, fmt).Allow(now);
  if (!mine.allowed) return;
  const LogRateLimit::Verdict all = l.all.Allow(now);
  if (!all.allowed) {
    // This one the common limiter counts; what its own limiter reported, nobody does.
    l.unsaid += mine.left_out;
    return;
  }
  av_log_default_callback(avcl, level, fmt, vl);
  const size_t n = std::strlen(fmt);
  if (n == 0 || fmt[n - 1] != '\n') {
    // A line FFmpeg goes on with in its next call: said after a later message.
    l.unsaid += mine.left_out + all.left_out;
    return;
  }
  LogRateLimit::Verdict said;
  said.left_out = mine.left_out + all.left_out + l.unsaid.exchange(0);
  if (said.left_out == 0) return;
  said.left_out_ms = kWindowMs;
  if (mine.left_out > 0) said.left_out_ms = std::max(said.left_out_ms, mine.left_out_ms);
  if (all.left_out > 0) said.left_out_ms = std::max(said.left_out_ms, all.left_out_ms);
  const std::string text = NORV::sLog::LeftOutText(said);
  Forward(avcl, level, "%s\n", text.c_str() + 1);  // without its leading space
}

}  // namespace

void ResetLimitForTesting() {
  // The old limits stay reachable: a thread may still be inside them.
  static std::vector<Limits*>* retired = new std::vector<Limits*>;
  retired->push_back(g_limits.exchange(new Limits, std::memory_order_acq_rel));
}

void InstallLimit() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(&Callback); });
}

}  // namespace ffmpeg_log
