// Two channels in two processes: pellion-host holds UDP 9111 and shows a live stream; a second
// channel, in this process, cannot listen there, says so and does not start, while the host's
// pictures keep coming. Once the host has gone, the second channel starts.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "Pellion.h"
#include "common/wait.h"
#include "e2e_support.h"
#include "log/log_capture.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;
using testing_util::WaitUntil;

TEST(TakenPortE2eTest, ASecondChannelDoesNotStartAndTheFirstKeepsItsStream) {
  const fs::path dir = fs::temp_directory_path() / ("pellion-e2e-port-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  ASSERT_TRUE(WaitUntil([] { return !UdpPortBound(Pellion::kStreamPort); }, 5s))
      << "UDP 9111 is taken";
  const std::string link_port = std::to_string(FreeTcpPort());
  const fs::path dump = dir / "dump";
  Child host, sender;
  ASSERT_TRUE(host.Start({PELLION_HOST_PATH, "--module", PELLION_MODULE_PATH, "--headless",
                          "--dump", dump.string(), "--sender-port", link_port, "--seconds", "120"},
                         dir / "host.out", dir / "host.err"));
  ASSERT_TRUE(WaitUntil([&] { return UdpPortBound(Pellion::kStreamPort) || !host.Running(); }));
  ASSERT_TRUE(host.Running()) << ReadText(dir / "host.err");
  ASSERT_TRUE(sender.Start({PELLION_SEND_PATH, "--encode", "--size", "640x360", "--seconds", "120",
                            "--request-port", link_port},
                           dir / "send.out", dir / "send.err"));
  auto pictures = [&] { return ReadDump(dump, false).size(); };
  ASSERT_TRUE(WaitUntil([&] { return pictures() >= 10; }, 30s)) << ReadText(dir / "host.out");

  NORV::sLog::LogCapture capture;
  Pellion second;
  EXPECT_EQ(second.StartChan(), 0);
  EXPECT_EQ(capture.Count("port 9111 is taken by another program: the stream cannot be received"),
            1u);
  EXPECT_FALSE(second.IsRunning());
  const size_t at_refusal = pictures();
  EXPECT_TRUE(WaitUntil([&] { return pictures() >= at_refusal + 30; }, 30s))
      << "the host's pictures stopped after " << at_refusal << "\n"
      << ReadText(dir / "host.out");

  sender.Signal(SIGTERM);
  EXPECT_EQ(sender.Wait(10s), 0) << ReadText(dir / "send.err");
  host.Signal(SIGINT);
  const std::optional<int> code = host.Wait(20s);
  EXPECT_EQ(code, 0) << ReadText(dir / "host.out") << ReadText(dir / "host.err");

  ASSERT_TRUE(WaitUntil([] { return !UdpPortBound(Pellion::kStreamPort); }, 5s));
  EXPECT_EQ(second.StartChan(), 1) << "the port is free again";
  EXPECT_TRUE(UdpPortBound(Pellion::kStreamPort));
  second.StopChan();
  fs::remove_all(dir);
}

}  // namespace
