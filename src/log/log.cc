// Log statements: function-name trimming, the sink registry, and the hand-over to glog.
#include "log/log.h"
#include "log/rate_limit.h"

#include <glog/logging.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/file.h"
#include "platform/thread.h"

namespace NORV::sLog {
namespace {

struct SinkRegistry {
  std::mutex mu;
  std::vector<LineSink*> sinks;
  std::atomic<int> count{0};
};

// Never destroyed: threads may log while static objects are torn down at exit.
SinkRegistry& Sinks() {
  static SinkRegistry* registry = new SinkRegistry;
  return *registry;
}

// "[I] [07-22 16:31:15.042187] [ 4120] [AdbScrcpy::Show:177]"
std::string LinePrefix(Severity severity, std::string_view function, int line) {
  int64_t us = platform::WallClockMicros();
  time_t secs = static_cast<time_t>(us / 1000000);
  tm t{};
  localtime_r(&secs, &t);
  char head[96];
  std::snprintf(head, sizeof(head), "[%c] [%02d-%02d %02d:%02d:%02d.%06d] [%5u] [",
                "IWEF"[severity & 3], t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<int>(us % 1000000), platform::GetCurrentThreadId());
  std::string prefix(head);
  prefix.append(function);
  // Appended piece by piece: g++ 12 at -O3 warns wrongly (-Wrestrict) about ":" + string.
  prefix += ':';
  prefix += std::to_string(line);
  prefix += ']';
  return prefix;
}

}  // namespace

void AddLineSink(LineSink* sink) {
  SinkRegistry& r = Sinks();
  std::lock_guard<std::mutex> lock(r.mu);
  r.sinks.push_back(sink);
  r.count.store(static_cast<int>(r.sinks.size()), std::memory_order_release);
}

void RemoveLineSink(LineSink* sink) {
  SinkRegistry& r = Sinks();
  std::lock_guard<std::mutex> lock(r.mu);
  r.sinks.erase(std::remove(r.sinks.begin(), r.sinks.end(), sink), r.sinks.end());
  r.count.store(static_cast<int>(r.sinks.size()), std::memory_order_release);
}

std::string_view FunctionName(std::string_view pretty) {
  // The parameter list opens at the first '(' outside template brackets; "operator()" and
  // "operator<" need care, the rest is plain scanning.
  int angle = 0;
  size_t open = std::string_view::npos;
  for (size_t i = 0; i < pretty.size(); ++i) {
    char c = pretty[i];
    if (pretty.compare(i, 8, "operator") == 0) {
      // Skip the operator's own symbol so that "operator()" or "operator<<" is kept whole.
      size_t j = i + 8;
      while (j < pretty.size() && pretty[j] == ' ') ++j;
      if (pretty.compare(j, 2, "()") == 0) {
        i = j + 1;
        continue;
      }
      while (j < pretty.size() && pretty[j] != '(') ++j;
      i = j - 1;
      continue;
    }
    if (c == '<') {
      ++angle;
    } else if (c == '>') {
      if (angle > 0) --angle;
    } else if (c == '(' && angle == 0) {
      open = i;
      break;
    }
  }
  if (open == std::string_view::npos) return pretty;
  // The name starts after the last blank outside template brackets (the return type's end).
  size_t start = 0;
  angle = 0;
  for (size_t i = open; i-- > 0;) {
    char c = pretty[i];
    if (c == '>') {
      ++angle;
    } else if (c == '<') {
      if (angle > 0) --angle;
    } else if ((c == ' ' || c == '*' || c == '&') && angle == 0) {
      start = i + 1;
      break;
    }
  }
  return pretty.substr(start, open - start);
}

void WriteLine(Severity severity, const char* file, int line, std::string_view function,
               std::string_view text) {
  // Anonymous namespaces say nothing in a log line: "{anonymous}::Foo::f" is "Foo::f".
  static constexpr std::string_view kAnonymous = "{anonymous}::";
  std::string cleaned;
  if (function.find(kAnonymous) != std::string_view::npos) {
    cleaned = std::string(function);
    for (size_t at; (at = cleaned.find(kAnonymous)) != std::string::npos;)
      cleaned.erase(at, kAnonymous.size());
    function = cleaned;
  }
  SinkRegistry& r = Sinks();
  if (r.count.load(std::memory_order_acquire) > 0) {
    LogRecord record{severity, file, line, function, text, platform::GetCurrentThreadId()};
    std::lock_guard<std::mutex> lock(r.mu);
    for (LineSink* sink : r.sinks) sink->Send(record);
  }
  // Our own prefix goes into the text and glog's is turned off for this line only, so that a
  // host's own glog lines keep theirs.
  google::LogMessage message(file, google::LogMessage::kNoLogPrefix,
                             static_cast<google::LogSeverity>(severity));
  if (FLAGS_log_prefix) message.stream() << LinePrefix(severity, function, line);
  message.stream() << text;
}

LogStatement::LogStatement(Severity severity, const char* file, int line,
                           const char* pretty_function)
    : severity_(severity), file_(file), line_(line), pretty_function_(pretty_function) {}

LogStatement::~LogStatement() {
  WriteLine(severity_, file_, line_, FunctionName(pretty_function_), stream_.str());
}

std::string LeftOutText(const LogRateLimit::Verdict& v) {
  if (v.left_out == 0) return {};
  // Built a digit at a time: insert() into the string trips g++ 12's -Wrestrict at -O3.
  const std::string digits = std::to_string(v.left_out);
  std::string count;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) count += ',';
    count += digits[i];
  }
  uint32_t seconds = (v.left_out_ms + 999) / 1000;
  std::string text = " \u2026 and ";
  text.append(count).append(" more in the last ");
  text.append(std::to_string(seconds == 0 ? 1 : seconds)).append(" s");
  return text;
}

}  // namespace NORV::sLog

void wlogI(const char* function, const char* format, ...) {
  char buf[1025];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  std::string text = "[";
  text += function != nullptr ? function : "";
  text += "]";
  text += buf;
  NORV::sLog::WriteLine(NORV::sLog::kInfo, __FILE__, __LINE__, "wlogI", text);
}
