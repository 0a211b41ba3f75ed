// A line sink for tests: collects every line of the plug-in and lets a test wait for one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace NORV::sLog {

struct CapturedLine {
  Severity severity;
  std::string function;
  int line;
  std::string text;
  uint32_t thread_id;
};

class LogCapture : public LineSink {
 public:
  LogCapture() { AddLineSink(this); }
  ~LogCapture() override { RemoveLineSink(this); }

  void Send(const LogRecord& r) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(
          {r.severity, std::string(r.function), r.line, std::string(r.text), r.thread_id});
    }
    cv_.notify_all();
  }

  std::vector<CapturedLine> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  // Lines whose text contains `needle`.
  std::vector<CapturedLine> Matching(const std::string& needle) const {
    std::vector<CapturedLine> out;
    for (auto& l : lines())
      if (l.text.find(needle) != std::string::npos) out.push_back(l);
    return out;
  }
  size_t Count(const std::string& needle) const { return Matching(needle).size(); }
  // Waits until `count` lines contain `needle`, or the timeout passes.
  bool WaitFor(const std::string& needle, size_t count = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
      size_t n = 0;
      for (auto& l : lines_)
        if (l.text.find(needle) != std::string::npos) ++n;
      return n >= count;
    });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<CapturedLine> lines_;
};

}  // namespace NORV::sLog
