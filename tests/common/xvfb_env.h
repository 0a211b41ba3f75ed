// An X server of the test binary's own: Xvfb on a free display, started for the tests that need
// X and stopped afterwards.
#pragma once

#include <sys/types.h>

#include <string>

#include <gtest/gtest.h>

namespace testing_util {

class XvfbServer {
 public:
  XvfbServer() = default;
  ~XvfbServer() { Stop(); }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  // Starts Xvfb with -displayfd and waits until it accepts clients. False when it did not start.
  bool Start();
  // Ends the server and reaps it.
  void Stop();
  // ":N" once started.
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// Starts a server before the first test and sets DISPLAY for the whole binary, but only when a
// test of a suite whose name begins with `suite_prefix` is going to run. A process started by
// such a test (a death test's child) reuses the server of its parent.
class XvfbEnvironment : public ::testing::Environment {
 public:
  explicit XvfbEnvironment(std::string suite_prefix) : suite_prefix_(std::move(suite_prefix)) {}
  void SetUp() override;
  void TearDown() override;

 private:
  std::string suite_prefix_;
  XvfbServer server_;
};

}  // namespace testing_util
