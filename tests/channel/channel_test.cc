// The channel object itself: worker lifecycle, the sender link, and what never escapes to a host.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Pellion.h"
#include "common/stream_packet.h"
#include "common/wait.h"
#include "log/log_capture.h"
#include "log/rate_limit.h"
#include "platform/thread.h"

namespace {

using namespace std::chrono_literals;
using testing_util::WaitUntil;

class FakeSender : public ITcpOper {
 public:
  int32_t SendMsg(uint32_t code, const void* body, uint32_t length) override {
    ++calls;
    last_code = code;
    last_body = body;
    last_length = length;
    tid = platform::GetCurrentThreadId();
    if (throw_) throw std::runtime_error("sender broke");
    return 42;
  }
  std::atomic<int> calls{0};
  uint32_t last_code = 99;
  const void* last_body = this;
  uint32_t last_length = 99;
  platform::DWORD tid = 0;
  bool throw_ = false;
};

TEST(ChannelTest, TheInterfaceIsTheObjectsOwnAddress) {
  Pellion p;
  EXPECT_EQ(static_cast<void*>(static_cast<IAVStreamInterface*>(&p)), static_cast<void*>(&p));
}

TEST(ChannelTest, StartFailsWhileATimedOutWorkerStillRuns) {
  NORV::sLog::LogCapture capture;
  Pellion p;
  ASSERT_EQ(p.StartChan(), 1);
  std::atomic<bool> release{false}, blocking{false};
  ASSERT_TRUE(p.PostTask([&] {
    blocking = true;
    WaitUntil([&] { return release.load(); }, 30s);
  }));
  ASSERT_TRUE(WaitUntil([&] { return blocking.load(); }));
  auto start = std::chrono::steady_clock::now();
  p.StopChan();
  EXPECT_GE(testing_util::MillisSince(start), 3000);
  EXPECT_EQ(capture.Count("wait thread stop timeout, TerminateThread! entry cleaning:[false]"), 1u);

  EXPECT_EQ(p.StartChan(), 0);
  EXPECT_EQ(capture.Count("start av chan tid:0"), 1u);

  release = true;
  ASSERT_TRUE(WaitUntil([&] { return p.thread_id() == 0; }));
  EXPECT_EQ(p.StartChan(), 1) << "once the old worker ended, the channel starts again";
  p.StopChan();
}

// Without a sender the preset result stays; with one, SendMsg runs on the calling thread and
// whatever it throws stays inside the channel.
TEST(ChannelTest, RequestReachesTheSenderOnTheCallingThreadAndNothingEscapes) {
  NORV::sLog::LogCapture capture;
  Pellion p;
  FakeSender sender;
  int result = -1;
  p.TcpSendData(result, REQUEST_CODE_FOR_I_FRAME, nullptr, 0);
  EXPECT_EQ(result, -1);
  p.SetTcpOper(&sender);
  std::thread decoder([&] { p.TcpSendData(result, REQUEST_CODE_FOR_I_FRAME, nullptr, 0); });
  decoder.join();
  EXPECT_EQ(sender.calls.load(), 1);
  EXPECT_EQ(std::tie(sender.last_code, sender.last_body, sender.last_length),
            std::make_tuple(0u, static_cast<const void*>(nullptr), 0u));
  EXPECT_NE(sender.tid, platform::GetCurrentThreadId());
  EXPECT_EQ(result, 42);
  sender.throw_ = true;
  result = -1;
  p.TcpSendData(result, 0, nullptr, 0);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(capture.Count("sender broke"), 1u);
  p.SetTcpOper(nullptr);
  p.TcpSendData(result, 0, nullptr, 0);
  EXPECT_EQ(sender.calls.load(), 2);
}

// A plain socket bound to UDP 9111 without address reuse, or -1 while somebody listens there.
int Bind9111() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(9111);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return fd;
  close(fd);
  return -1;
}

bool Port9111IsFree() {
  int fd = Bind9111();
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Sends one complete frame (a single packet) to the channel's port. A recovery-point SEI and
// nothing a codec can be told from: the receiver takes it as a stream start, the decoder finds
// no codec.
void SendFrame(uint32_t idx, const std::string& payload) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string d = testing_util::Packet(idx, 0, true, testing_util::kStartWithoutCodec + payload);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9111);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  close(fd);
}

std::atomic<uint32_t> g_clock{50000};
uint32_t LateClock() { return g_clock.load(); }
// Lines that input can repeat are limited per window of the clock: a test that counts them
// starts a window of its own.
void NextLogWindow() { g_clock += NORV::sLog::LogRateLimit::kWindowMs; }

class ChannelRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClockMsForTesting(&LateClock);
    NextLogWindow();
  }
  void TearDown() override { platform::SetClockMsForTesting(nullptr); }
  NORV::sLog::LogCapture capture;
};

TEST_F(ChannelRunTest, BuildingCreatesTheSectionButNoThreadAndAStartLogsItsWorkerOnce) {
  // An earlier test's receive loop closes its socket within a second of its stop.
  ASSERT_TRUE(WaitUntil([] { return Port9111IsFree(); }));
  int threads = testing_util::CountThreads();
  Pellion p;
  EXPECT_EQ(testing_util::CountThreads(), threads);
  EXPECT_FALSE(p.IsRunning());
  EXPECT_TRUE(std::filesystem::exists("/dev/shm/norv_vframe_header_2025_05_19"));
  EXPECT_TRUE(std::filesystem::exists("/dev/shm/sem.norv_vframe_event_2025_05_19"));
  ASSERT_EQ(p.StartChan(), 1);
  EXPECT_FALSE(Port9111IsFree()) << "listening on 9111 once started";
  auto lines = capture.Matching("start av chan tid:");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].function, "Pellion::StartChan");
  EXPECT_EQ(lines[0].text, "start av chan tid:" + std::to_string(p.thread_id()));
  platform::DWORD tid = p.thread_id();
  EXPECT_EQ(p.StartChan(), 1);
  EXPECT_EQ(p.thread_id(), tid);
  EXPECT_EQ(capture.Count("start av chan tid:"), 1u) << "the second start logs nothing";
  p.StopChan();
  EXPECT_EQ(p.thread_id(), 0u);
  EXPECT_TRUE(WaitUntil([] { return Port9111IsFree(); }));
}

// Whether a thread of this process has `name` (as the kernel keeps it, at most 15 characters).
bool HasThreadNamed(const std::string& name) {
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string comm;
    std::getline(std::ifstream(it->path() / "comm"), comm);
    if (comm == name) return true;
  }
  return false;
}

// Another program holding the stream port: the channel does not start, and its worker and
// decoder threads end again; once the port is free, the next start listens and decodes.
TEST_F(ChannelRunTest, AStartFailsWhileThePortIsTakenAndALaterOneListens) {
  ASSERT_TRUE(WaitUntil([] { return Port9111IsFree(); }));
  int holder = Bind9111();
  ASSERT_GE(holder, 0);

  Pellion p;
  EXPECT_EQ(p.StartChan(), 0);
  EXPECT_EQ(capture.Count("bind port:9111 fail "), 1u);
  auto taken =
      capture.Matching("port 9111 is taken by another program: the stream cannot be received");
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].severity, NORV::sLog::Severity::kError);
  EXPECT_EQ(capture.Count("start av chan tid:0"), 1u);
  EXPECT_FALSE(p.IsRunning());
  EXPECT_EQ(p.thread_id(), 0u);
  EXPECT_TRUE(WaitUntil([] { return !HasThreadNamed("Pellion"); })) << "the worker ended";
  EXPECT_TRUE(WaitUntil([] { return !HasThreadNamed("VStreamDecoderT"); })) << "the decoder ended";
  EXPECT_TRUE(WaitUntil([] { return !HasThreadNamed("VFramePublisher"); })) << "and its publisher";
  EXPECT_FALSE(HasThreadNamed("observer.tr fun")) << "no delivery thread waits for nothing";
  EXPECT_EQ(p.StartChan(), 0) << "and the next start tries again";
  EXPECT_EQ(capture.Count("bind port:9111 fail "), 2u);
  close(holder);

  ASSERT_EQ(p.StartChan(), 1);
  EXPECT_FALSE(Port9111IsFree());
  EXPECT_TRUE(HasThreadNamed("Pellion") && HasThreadNamed("VStreamDecoderT") &&
              HasThreadNamed("VFramePublisher") && HasThreadNamed("observer.tr fun"))
      << "the names looked for above";
  SendFrame(3001, "decoded once the port was free");
  EXPECT_TRUE(capture.WaitFor("miss codec: ")) << "the channel decodes";
  EXPECT_EQ(capture.Count("decoder could not start"), 0u);
  p.StopChan();
}

TEST_F(ChannelRunTest, BrokenStreamAsksTheSenderOnTheDecoderThread) {
  Pellion p;
  FakeSender sender;
  p.SetTcpOper(&sender);
  ASSERT_EQ(p.StartChan(), 1);
  SendFrame(1, "not a video frame at all");
  ASSERT_TRUE(capture.WaitFor("send REQUEST_CODE_FOR_I_FRAME nRet=42"));
  EXPECT_EQ(sender.calls.load(), 1);
  EXPECT_EQ(std::tie(sender.last_code, sender.last_body, sender.last_length),
            std::make_tuple(0u, static_cast<const void*>(nullptr), 0u));
  auto lines = capture.Matching("send REQUEST_CODE_FOR_I_FRAME");
  EXPECT_EQ(sender.tid, lines[0].thread_id) << "SendMsg runs on the decoder thread";
  EXPECT_NE(sender.tid, platform::GetCurrentThreadId());
  p.StopChan();
  p.SetTcpOper(nullptr);
  g_clock += 1000;
  ASSERT_EQ(p.StartChan(), 1);
  SendFrame(2, "not a video frame either");
  EXPECT_TRUE(capture.WaitFor("send REQUEST_CODE_FOR_I_FRAME nRet=-1"));
  p.StopChan();
}

TEST_F(ChannelRunTest, RestartsDecodeEachFrameOnce) {
  Pellion p;
  for (uint32_t cycle = 1; cycle <= 20; ++cycle) {
    ASSERT_EQ(p.StartChan(), 1);
    NextLogWindow();
    SendFrame(cycle, "frame of cycle " + std::to_string(cycle));
    ASSERT_TRUE(capture.WaitFor("miss codec: ", cycle)) << "cycle " << cycle;
    p.StopChan();
  }
  // Stopped: nothing more is decoded.
  NextLogWindow();
  SendFrame(99, "after the stop");
  ASSERT_EQ(p.StartChan(), 1);  // a last start proves the count below is settled
  NextLogWindow();
  SendFrame(100, "last");
  ASSERT_TRUE(capture.WaitFor("miss codec: ", 21));
  p.StopChan();
  EXPECT_EQ(capture.Count("miss codec: "), 21u) << "every frame decoded exactly once";
}

// A host link that blocks inside SendMsg until released.
class BlockingSender : public ITcpOper {
 public:
  int32_t SendMsg(uint32_t, const void*, uint32_t) override {
    blocked = true;
    WaitUntil([this] { return release.load(); }, 60s);
    return 7;
  }
  std::atomic<bool> blocked{false}, release{false};
};

// Starts the channel with a sender that blocks in the decoder's key-frame request, then stops
// it: the decoder's own stop runs out of time and its thread stays inside SendMsg.
// Frame indices go on from `first_index`: the receiver is the process's one.
class BlockedDecoderTest : public ChannelRunTest {
 protected:
  void StopWhileTheDecoderBlocks(uint32_t first_index) {
    p.SetTcpOper(&sender);
    ASSERT_EQ(p.StartChan(), 1);
    SendFrame(first_index, "not a video frame, so a key frame is asked for");
    ASSERT_TRUE(WaitUntil([&] { return sender.blocked.load(); }));
    p.StopChan();
    ASSERT_EQ(capture.Count("[VStreamDecoderThread]"), 1u) << "the decoder's stop ran out";
    p.SetTcpOper(nullptr);
  }
  BlockingSender sender;  // outlives the channel whose decoder may still be inside it
  Pellion p;
};

TEST_F(BlockedDecoderTest, ARestartWaitsForTheOldDecoderThreadAndThenDecodes) {
  StopWhileTheDecoderBlocks(1000);
  ASSERT_EQ(capture.Count("miss codec: "), 1u);
  std::atomic<int> restarted{-1};
  std::thread host([&] { restarted = p.StartChan(); });
  // The block ends while the new worker is starting its decoder.
  EXPECT_TRUE(WaitUntil([&] { return p.thread_id() != 0 || restarted.load() != -1; }));
  sender.release = true;
  host.join();
  EXPECT_EQ(restarted.load(), 1);
  EXPECT_EQ(capture.Count("decoder could not start"), 0u);
  SendFrame(1001, "decoded after the restart");
  EXPECT_TRUE(capture.WaitFor("miss codec: ", 2)) << "the restarted channel decodes";
  p.StopChan();
}

TEST_F(BlockedDecoderTest, ARestartFailsWhileTheOldDecoderStaysBlockedAndALaterOneDecodes) {
  StopWhileTheDecoderBlocks(2000);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(p.StartChan(), 0) << "a channel that cannot decode is not started";
  EXPECT_GE(testing_util::MillisSince(start), 2000);
  auto errors = capture.Matching("decoder could not start");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].severity, NORV::sLog::Severity::kError);
  EXPECT_EQ(capture.Count("start av chan tid:0"), 1u);
  EXPECT_EQ(p.thread_id(), 0u) << "the worker stopped again";
  EXPECT_TRUE(WaitUntil([] { return Port9111IsFree(); })) << "nothing listens";

  sender.release = true;
  ASSERT_EQ(p.StartChan(), 1);
  SendFrame(2001, "decoded after the block ended");
  EXPECT_TRUE(capture.WaitFor("miss codec: ", 2)) << "the channel decodes again";
  p.StopChan();
}

}  // namespace
