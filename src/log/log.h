// Log statements of the plug-in: LOGI << ..., LOGW, LOGE, LOGF. Each records its source file,
// line and function (Class::function), then writes one line through glog.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace NORV::sLog {

enum Severity : int { kInfo = 0, kWarning = 1, kError = 2, kFatal = 3 };

struct LogRecord {
  Severity severity;
  const char* file;
  int line;
  std::string_view function;  // "Class::function"
  std::string_view text;
  uint32_t thread_id;
};

// Receives every line of the plug-in before glog does. Send may run on any thread, under the
// sink registry's lock: it must not log.
class LineSink {
 public:
  virtual ~LineSink() = default;
  virtual void Send(const LogRecord& record) = 0;
};
void AddLineSink(LineSink* sink);
void RemoveLineSink(LineSink* sink);

// "void NORV::sNetwork::NorvNetUDT::Start(const string&, int, int)" ->
// "NORV::sNetwork::NorvNetUDT::Start". The result points into `pretty`.
std::string_view FunctionName(std::string_view pretty);

// One statement: collects the text, writes the line when destroyed at the end of the statement.
class LogStatement {
 public:
  LogStatement(Severity severity, const char* file, int line, const char* pretty_function);
  ~LogStatement();
  LogStatement(const LogStatement&) = delete;
  LogStatement& operator=(const LogStatement&) = delete;
  std::ostream& stream() { return stream_; }

 private:
  Severity severity_;
  const char* file_;
  int line_;
  const char* pretty_function_;
  std::ostringstream stream_;
};

// Writes one record to the sinks and to glog. Used by the statements and by wlogI.
void WriteLine(Severity severity, const char* file, int line, std::string_view function,
               std::string_view text);

// Booleans in log lines are written as [true] or [false].
inline const char* Bool(bool b) { return b ? "[true]" : "[false]"; }

}  // namespace NORV::sLog

// printf-style INFO line "[function]text", the text cut at 1024 bytes.
void wlogI(const char* function, const char* format, ...) __attribute__((format(printf, 2, 3)));

#define NORV_LOG_STATEMENT(severity) \
  ::NORV::sLog::LogStatement(severity, __FILE__, __LINE__, __PRETTY_FUNCTION__).stream()
#define LOGI NORV_LOG_STATEMENT(::NORV::sLog::kInfo)
#define LOGW NORV_LOG_STATEMENT(::NORV::sLog::kWarning)
#define LOGE NORV_LOG_STATEMENT(::NORV::sLog::kError)
#define LOGF NORV_LOG_STATEMENT(::NORV::sLog::kFatal)
