// Bounds the log lines that outside input can repeat (datagrams, bad frames): a few lines per
// window for each message, and the next line that is written says how many were left out.
//
//   LOGE_LIMITED << "pack is too small len:" << n;
//   -> "pack is too small len:9 … and 19,998 more in the last 3 s"
//
// Each use of a *_LIMITED macro has a limiter of its own, so one flooded message never hides
// another.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "log/log.h"
#include "platform/clock.h"

namespace NORV::sLog {

class LogRateLimit {
 public:
  static constexpr uint32_t kPerWindow = 5;
  static constexpr uint32_t kWindowMs = 3000;

  explicit LogRateLimit(uint32_t per_window = kPerWindow, uint32_t window_ms = kWindowMs)
      : per_window_(per_window), window_ms_(window_ms) {}

  struct Verdict {
    bool allowed = false;
    uint32_t left_out = 0;     // occurrences not logged since the last line that was
    uint32_t left_out_ms = 0;  // how long ago that line was
  };

  // Any thread.
  Verdict Allow() { return Allow(platform::ClockMs()); }
  Verdict Allow(uint32_t now_ms) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!started_ || now_ms - window_start_ >= window_ms_) {
      started_ = true;
      window_start_ = now_ms;
      in_window_ = 0;
    }
    Verdict v;
    if (in_window_ >= per_window_) {
      ++left_out_;
      return v;
    }
    ++in_window_;
    v.allowed = true;
    v.left_out = left_out_;
    v.left_out_ms = now_ms - last_logged_;
    left_out_ = 0;
    last_logged_ = now_ms;
    return v;
  }

 private:
  std::mutex mu_;
  const uint32_t per_window_;
  const uint32_t window_ms_;
  bool started_ = false;
  uint32_t window_start_ = 0;
  uint32_t in_window_ = 0;
  uint32_t left_out_ = 0;
  uint32_t last_logged_ = 0;
};

// " … and 19,998 more in the last 3 s", or nothing when none was left out.
std::string LeftOutText(const LogRateLimit::Verdict& v);

// One limited statement: the text, then what was left out, written as one line.
class LimitedStatement {
 public:
  LimitedStatement(LogRateLimit::Verdict verdict, Severity severity, const char* file, int line,
                   const char* pretty_function)
      : verdict_(verdict), statement_(severity, file, line, pretty_function) {}
  ~LimitedStatement() { statement_.stream() << LeftOutText(verdict_); }
  std::ostream& stream() { return statement_.stream(); }

 private:
  LogRateLimit::Verdict verdict_;
  LogStatement statement_;  // destroyed after the suffix went in
};

}  // namespace NORV::sLog

// A limiter per use: the lambda is a type of its own at every expansion. A loop, not an if, so
// that an else after the statement still belongs to the caller's if.
#define NORV_LOG_LIMITED(severity)                                               \
  for (::NORV::sLog::LogRateLimit::Verdict pellion_verdict_ =                    \
           []() -> ::NORV::sLog::LogRateLimit& {                                 \
         static ::NORV::sLog::LogRateLimit limit;                                \
         return limit;                                                           \
       }()                                                                       \
                       .Allow();                                                 \
       pellion_verdict_.allowed; pellion_verdict_.allowed = false)               \
  ::NORV::sLog::LimitedStatement(pellion_verdict_, severity, __FILE__, __LINE__, \
                                 __PRETTY_FUNCTION__)                            \
      .stream()
#define LOGI_LIMITED NORV_LOG_LIMITED(::NORV::sLog::kInfo)
#define LOGW_LIMITED NORV_LOG_LIMITED(::NORV::sLog::kWarning)
#define LOGE_LIMITED NORV_LOG_LIMITED(::NORV::sLog::kError)
