// Xvfb for tests: the server picks a free display and tells it through -displayfd.
#include "common/xvfb_env.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "common/wait.h"

extern char** environ;

namespace testing_util {

namespace {

constexpr char kOwnerVariable[] = "PELLION_TEST_XVFB_DISPLAY";
constexpr int kDisplayFd = 9;

bool SuiteWillRun(const std::string& prefix) {
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  for (int i = 0; i < unit.total_test_suite_count(); ++i) {
    const ::testing::TestSuite* suite = unit.GetTestSuite(i);
    if (suite->should_run() && std::string(suite->name()).rfind(prefix, 0) == 0) return true;
  }
  return false;
}

}  // namespace

bool XvfbServer::Start() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], kDisplayFd);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, kDisplayFd + 1);
  std::string fd = std::to_string(kDisplayFd);
  const char* argv[] = {"Xvfb",    "-displayfd", fd.c_str(),   "-nolisten", "tcp",
                        "-screen", "0",          "640x480x24", nullptr};
  int rc =
      posix_spawn(&pid_, "/usr/bin/Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    pid_ = -1;
    return false;
  }
  // The number arrives, followed by a newline, once the server accepts connections.
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (number.empty() || number.back() != '\n') {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd p{fds[0], POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char c;
    if (read(fds[0], &c, 1) != 1) break;
    number += c;
  }
  close(fds[0]);
  if (number.empty() || number.back() != '\n') {
    Stop();
    return false;
  }
  number.pop_back();
  display_ = ":" + number;
  return true;
}

void XvfbServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (!WaitUntil([this] { return waitpid(pid_, nullptr, WNOHANG) == pid_; },
                 std::chrono::seconds(5))) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

void XvfbEnvironment::SetUp() {
  if (const char* inherited = getenv(kOwnerVariable)) {
    setenv("DISPLAY", inherited, 1);
    return;
  }
  if (!SuiteWillRun(suite_prefix_)) return;
  ASSERT_TRUE(server_.Start()) << "Xvfb did not start";
  setenv("DISPLAY", server_.display().c_str(), 1);
  setenv(kOwnerVariable, server_.display().c_str(), 1);
}

void XvfbEnvironment::TearDown() {
  if (server_.pid() > 0) unsetenv(kOwnerVariable);
  server_.Stop();
}

}  // namespace testing_util
