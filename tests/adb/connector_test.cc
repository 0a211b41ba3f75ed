// The device connector against an adb stand-in beside a host executable in a folder with blanks.
#include "AdbConnector.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "adb/mirror_test_util.h"
#include "common/wait.h"
#include "file/path.h"
#include "log/log_capture.h"

namespace {

using namespace mirror_test;

class ConnectorTest : public ::testing::Test {
 protected:
  fs::path host_dir() const { return dir_.path() / "host dir"; }
  bool Connect(const std::string& address = "192.168.42.11", int64_t timeout_ms = 10000) {
    AdbConnector connector(timeout_ms, NORV::sFileManager::ToWide((host_dir() / "host").string()));
    return connector.Connect(address);
  }

  ScratchDir dir_;
  fs::path record_ = dir_.path() / "adb-record";
  NORV::sLog::LogCapture log_;
};

TEST_F(ConnectorTest, JudgesAdbsAnswerLetterCaseAsideAndMissingAdbIsNotConnected) {
  EXPECT_FALSE(Connect()) << "no adb yet";
  const struct {
    const char* output;
    bool connected;
  } cases[] = {
      {"already connected to 192.168.42.11:5555\n", true},
      {"* daemon started successfully\nCONNECTED TO 192.168.42.11:5555\n", true},
      {"failed to connect to '192.168.42.11:5555': Connection refused\n", false},
      {"connect to 192.168.42.11:5555", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    InstallAdb(host_dir(), record_, c.output);
    EXPECT_EQ(Connect(), c.connected);
  }
  EXPECT_EQ(AdbArguments(record_), (std::vector<std::string>{"connect", "192.168.42.11:5555"}));
  EXPECT_EQ(log_.Count("connect to 192.168.42.11 [true]"), 2u);
  EXPECT_EQ(log_.Count("connect to 192.168.42.11 [false]"), 4u);
}

TEST_F(ConnectorTest, AnAddressWithShellCharactersNeverReachesTheShell) {
  InstallAdb(host_dir(), record_, "connected to x");
  EXPECT_FALSE(Connect("1.2.3.4;touch injected"));
  EXPECT_FALSE(fs::exists(record_));
}

TEST_F(ConnectorTest, HangingAdbIsKilledWithEverythingItStartedAtTheLimit) {
  // adb's child holds the output pipe: killing the shell alone would leave the read hanging.
  const fs::path child_pid = dir_.path() / "child-pid";
  WriteScript(host_dir() / "scrcpy" / "adb",
              Quote(FAKE_CMD_PATH) + " --hang &\necho $! > " + Quote(child_pid) + "\nwait");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Connect("192.168.42.11", 300));
  int64_t took = testing_util::MillisSince(start);
  EXPECT_GE(took, 300);
  EXPECT_LT(took, 5000);
  EXPECT_EQ(log_.Count("adb did not finish within 300 ms"), 1u);

  std::vector<std::string> pid = ReadLines(child_pid);
  ASSERT_EQ(pid.size(), 1u);
  const pid_t child = std::stoi(pid[0]);
  EXPECT_TRUE(testing_util::WaitUntil([&] { return ProcessGone(child); }));
  if (!ProcessGone(child)) kill(child, SIGKILL);
}

TEST_F(ConnectorTest, APipeThatCannotBeMadeIsReportedAsSuch) {
#if defined(__SANITIZE_ADDRESS__)
  // UBSan's type checks probe memory through a pipe of their own: with no descriptor left they
  // report every member call as a bad object.
  GTEST_SKIP() << "needs descriptors the sanitizer's own checks take";
#endif
  InstallAdb(host_dir(), record_, "connected to 192.168.42.11:5555\n");
  // Every descriptor taken, for as short a time as possible: the output pipe cannot be made.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> held;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
  bool connected = Connect();
  for (int fd : held) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  EXPECT_FALSE(connected);
  EXPECT_EQ(log_.Count("Error on CreatePipe, err=" + std::to_string(EMFILE)), 1u);
  EXPECT_EQ(log_.Count("Error on CreateProcess"), 0u);
  EXPECT_FALSE(fs::exists(record_)) << "adb never ran";
}

}  // namespace
