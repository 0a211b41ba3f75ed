// The stream port on Windows: the socket asks for exclusive use, so no later socket takes the
// port whatever it sets, and a second channel in another process does not start while the
// first one keeps receiving.
#include <winsock2.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "MetaUdpServer.h"
#include "Pellion.h"
#include "common/frame_stream.h"
#include "common/port_free.h"
#include "common/wait.h"
#include "network/yCUdp.h"
#include "platform/process.h"
#include "platform/udp_socket.h"

namespace {

using namespace std::chrono_literals;
using testing_util::WaitUntil;

bool ExclusiveUse(int fd) {
  BOOL on = FALSE;
  int len = sizeof(on);
  return getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                    reinterpret_cast<char*>(&on), &len) == 0 &&
         on != FALSE;
}

TEST(ExclusivePortTest, TheStreamSocketHoldsItsPortAgainstASocketWithAddressReuse) {
  NORV::sNetwork::yCUdp stream;
  ASSERT_TRUE(stream.Create(nullptr, 0, false)) << stream.last_error();
  EXPECT_TRUE(ExclusiveUse(stream.GetSocket()));
  const int port = stream.BoundPort();

  platform::UdpSocket reusing;
  ASSERT_EQ(reusing.Open(), 0);
  EXPECT_FALSE(ExclusiveUse(reusing.fd())) << "not a socket's default";
  ASSERT_EQ(reusing.SetReuseAddress(true), 0);
  const int error = reusing.Bind(nullptr, port);
  EXPECT_TRUE(platform::UdpSocket::IsAddressInUse(error)) << "bind gave " << error;

  NORV::sNetwork::yCUdp second;
  EXPECT_FALSE(second.Create(nullptr, port, false));
  EXPECT_TRUE(second.AddressInUse()) << second.last_error();

  stream.Close();
  EXPECT_TRUE(second.Create(nullptr, port, false)) << "free once closed: " << second.last_error();
}

TEST(ExclusivePortTest, ABroadcastSocketIsNotExclusive) {
  NORV::sNetwork::yCUdp broadcast;
  ASSERT_TRUE(broadcast.Create(nullptr, 0, true));
  EXPECT_FALSE(ExclusiveUse(broadcast.GetSocket()));
}

// Runs pellion-winhost for a moment; its exit code and output.
struct HostRun {
  int code = -1;
  std::string output;
};
HostRun RunHost() {
  platform::SpawnRequest request;
  request.program = PELLION_WINHOST_PATH;
  request.argv = {PELLION_WINHOST_PATH, "--module", PELLION_MODULE_PATH, "--seconds", "0.5"};
  request.capture_output = true;
  platform::SpawnedProcess child;
  HostRun run;
  if (platform::Spawn(request, &child) != platform::SpawnResult::kOk) return run;
  char buffer[512];
  for (int64_t n; (n = platform::ReadFd(child.output_fd, buffer, sizeof(buffer))) > 0;)
    run.output.append(buffer, static_cast<size_t>(n));
  platform::WaitForProcess(child.pidfd, child.pid, 60000, &run.code);
  platform::CloseFd(child.output_fd);
  platform::CloseFd(child.pidfd);
  return run;
}

bool StreamPortIsFree() { return testing_util::UdpPortIsFree(Pellion::kStreamPort); }

struct FrameCounter : NORV::sHelper::sigslot::has_slots<> {
  std::atomic<int> frames{0};
  void On(uint32_t, const std::string&) { ++frames; }
};

// This process's channel holds the port; the host's channel, in another process, does not start
// and this one keeps receiving. Once this channel stops, the host's starts.
TEST(TakenPortTest, ASecondChannelInAnotherProcessDoesNotStartAndTheFirstKeepsReceiving) {
  ASSERT_TRUE(WaitUntil([] { return StreamPortIsFree(); }));
  FrameCounter counter;
  MetaUdpServer::GetInstance()->sig_vframe_.connect(&counter, &FrameCounter::On);
  Pellion first;
  ASSERT_EQ(first.StartChan(), 1);
  testing_util::FrameStream stream;
  stream.port = Pellion::kStreamPort;
  ASSERT_TRUE(WaitUntil([&] { return counter.frames.load() > 0; }));

  const HostRun refused = RunHost();
  EXPECT_EQ(refused.code, 1) << refused.output;
  EXPECT_NE(refused.output.find("StartChan failed"), std::string::npos) << refused.output;
  const int at_refusal = counter.frames.load();
  EXPECT_TRUE(WaitUntil([&] { return counter.frames.load() >= at_refusal + 100; }))
      << "the first channel's frames stopped";

  stream.port = 0;
  first.StopChan();
  ASSERT_TRUE(WaitUntil([] { return StreamPortIsFree(); }));
  const HostRun started = RunHost();
  EXPECT_EQ(started.code, 0) << started.output;
  EXPECT_NE(started.output.find("channel started"), std::string::npos) << started.output;
  MetaUdpServer::GetInstance()->sig_vframe_.disconnect(&counter);
}

}  // namespace
