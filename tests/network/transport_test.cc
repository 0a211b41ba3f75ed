// The transport and the receiver on real loopback sockets.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "MetaUdpServer.h"
#include "common/frame_stream.h"
#include "common/stream_datagrams.h"
#include "common/wait.h"
#include "log/log_capture.h"
#include "network/NorvNetUDT.h"
#include "platform/process.h"
#include "platform/udp_socket.h"
#include "subsystem/AutoEvent.h"

namespace {

using namespace std::chrono_literals;
using NORV::sNetwork::NorvNetUDT;
using testing_util::ControlDatagram;
using testing_util::WaitUntil;

// Sends from its own socket: bound to `port` on every address, or to a free loopback port.
class Sender {
 public:
  explicit Sender(int port = 0) {
    bound_ = socket_.Open() == 0 && socket_.Bind(port != 0 ? nullptr : "127.0.0.1", port) == 0;
    port_ = socket_.LocalPort();
  }
  void Send(int port, const std::string& data) {
    socket_.SendTo(data.data(), data.size(), "127.0.0.1", port);
  }
  int port() const { return port_; }
  bool bound() const { return bound_; }

 private:
  platform::UdpSocket socket_;
  bool bound_ = false;
  int port_ = 0;
};

struct Received {
  std::mutex mu;
  std::vector<std::tuple<std::string, int, std::string>> items;
  size_t size() {
    std::lock_guard<std::mutex> lock(mu);
    return items.size();
  }
};

NorvNetUDT::Callback Into(Received* r) {
  return [r](const std::string& ip, int port, const std::string& data) {
    std::lock_guard<std::mutex> lock(r->mu);
    r->items.emplace_back(ip, port, data);
  };
}

TEST(ControlCipherTest, KnownVector) {
  const uint8_t plain[8] = {0x55, 0x44, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00};
  const uint8_t cipher[8] = {0x5b, 0xe0, 0xbc, 0x1f, 0x0d, 0x15, 0x71, 0x4c};
  uint8_t out[8];
  NORV::sNetwork::DecipherControlBytes(plain, out);
  EXPECT_EQ(std::memcmp(out, cipher, 8), 0);
  NORV::sNetwork::DecipherControlBytes(cipher, out);
  EXPECT_EQ(std::memcmp(out, plain, 8), 0);
}

// An empty address binds but receives nothing: proven against the listening transport that
// gets the datagrams sent after.
TEST(TransportTest, DeliversDatagramsIntactInOrderWithTheSender) {
  NORV::sLog::LogCapture capture;
  NorvNetUDT udt;
  Received got;
  ASSERT_TRUE(udt.AddObserver(Into(&got)));
  int port = udt.Start("0.0.0.0", 0, 2);
  ASSERT_GT(port, 0);
  EXPECT_EQ(capture.Count("bind port:0 success "), 1u);
  EXPECT_EQ(capture.Count("StartListen port:" + std::to_string(port) + " success "), 1u);
  EXPECT_EQ(capture.Count("start udt: success  transtype:2"), 1u);
  EXPECT_EQ(udt.Start("0.0.0.0", 0, 2), port) << "a running transport changes nothing";
  EXPECT_GT(udt.receive_buffer(), 0);

  NorvNetUDT deaf;
  Received deaf_got;
  deaf.AddObserver(Into(&deaf_got));
  int deaf_port = deaf.Start("", 0, 2);
  ASSERT_GT(deaf_port, 0);
  Sender s;
  s.Send(deaf_port, "hello");
  std::vector<std::string> sent;
  for (size_t size : {3, 4, 1400, 65507}) {
    std::string d(size, '\0');
    for (size_t i = 0; i < size; ++i) d[i] = static_cast<char>(i * 7 + size);
    d[0] = 'x';  // never a control header
    s.Send(port, d);
    if (size >= 4) sent.push_back(d);
  }
  ASSERT_TRUE(WaitUntil([&] { return got.size() == 3; }));
  for (size_t i = 0; i < 3; ++i) {
    auto& [ip, p, data] = got.items[i];
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_EQ(p, s.port());
    EXPECT_EQ(data, sent[i]);
  }
  EXPECT_EQ(deaf_got.size(), 0u);
}

// The event an acknowledgement of `seq` sets, named after this process.
std::string AckEventName(uint16_t seq) {
  char n[64];
  std::snprintf(n, sizeof(n), "Global\\norv_udt_seq:%08x-%04x",
                static_cast<uint16_t>(platform::GetCurrentProcessId()), seq);
  return n;
}

class ControlTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::NamedSemaphore::Unlink(AckEventName(1)); }
  uint16_t high_ = static_cast<uint16_t>(platform::GetCurrentProcessId());
};

TEST_F(ControlTest, AcknowledgementSetsTheNamedEventAndDeliversThePayload) {
  NORV::sLog::LogCapture capture;
  NORV::sSubSystem::CAutoEvent ack(AckEventName(1), false, true);
  ASSERT_TRUE(ack.IsValid());
  NorvNetUDT udt;
  Received got;
  udt.AddObserver(Into(&got));
  int port = udt.Start("127.0.0.1", 0, 2);
  Sender s;
  s.Send(port, ControlDatagram(0x4955, 1, high_, "plain control"));
  ASSERT_TRUE(WaitUntil([&] { return got.size() == 1; }));
  EXPECT_EQ(ack.Wait(0), 258u) << "0x4955 sets nothing";
  s.Send(port, ControlDatagram(0x4455, 1, high_, "ack me"));
  EXPECT_EQ(ack.Wait(5000), 0u);
  ASSERT_TRUE(WaitUntil([&] { return got.size() == 2; }));
  EXPECT_EQ(std::get<2>(got.items[0]), "plain control");
  EXPECT_EQ(std::get<2>(got.items[1]), "ack me");
  // Nobody waits on sequence 2: the line names the event, the payload still arrives.
  s.Send(port, ControlDatagram(0x4455, 2, high_, "no event"));
  ASSERT_TRUE(WaitUntil([&] { return got.size() == 3; }));
  EXPECT_EQ(capture.Count("can not open evt:" + AckEventName(2)), 1u);
}

// The port is held alone: a second transport, or any socket even with address reuse, fails to
// bind it and says why, while the holder goes on receiving. The holder's stop ends its loop
// soon, and the port is free for the next Start.
TEST(TransportTest, AHeldPortIsRefusedToOthersUntilItsHolderStops) {
  NORV::sLog::LogCapture capture;
  NorvNetUDT first;
  Received got;
  ASSERT_TRUE(first.AddObserver(Into(&got)));
  const int port = first.Start("0.0.0.0", 0, 2);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(capture.WaitFor("udp recv thread entry"));
  const std::string p = std::to_string(port);

  NorvNetUDT second;
  Received second_got;
  ASSERT_TRUE(second.AddObserver(Into(&second_got)));
  EXPECT_EQ(second.Start("0.0.0.0", port, 2), 0);
  EXPECT_FALSE(second.IsRunning());
  EXPECT_EQ(capture.Count("bind port:" + p + " fail "), 1u);
  auto taken =
      capture.Matching("port " + p + " is taken by another program: the stream cannot be received");
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].severity, NORV::sLog::Severity::kError);
  EXPECT_EQ(capture.Count("start udt: fail  transtype:0"), 1u);
  EXPECT_EQ(second.Start("127.0.0.1", port, 2), 0) << "nor on one address of it";

  platform::UdpSocket reusing;
  ASSERT_EQ(reusing.Open(), 0);
  ASSERT_EQ(reusing.SetReuseAddress(true), 0);
  const int error = reusing.Bind(nullptr, port);
  EXPECT_TRUE(platform::UdpSocket::IsAddressInUse(error)) << "bind gave " << error;
  reusing.Close();

  Sender s;
  s.Send(port, "still the first's");
  ASSERT_TRUE(WaitUntil([&] { return got.size() == 1; }));
  EXPECT_EQ(std::get<2>(got.items[0]), "still the first's");

  auto start = std::chrono::steady_clock::now();
  first.Stop();
  ASSERT_TRUE(capture.WaitFor("udp recv thread close!", 1, 5s));
  EXPECT_LT(testing_util::MillisSince(start), 1300) << "within its 1-second wait";
  EXPECT_EQ(capture.Count("udp recv thread close!"), 1u);
  EXPECT_EQ(second.Start("0.0.0.0", port, 2), port);
  s.Send(port, "now the second's");
  ASSERT_TRUE(WaitUntil([&] { return second_got.size() == 1; }));
  EXPECT_EQ(std::get<2>(second_got.items[0]), "now the second's");
  EXPECT_EQ(got.size(), 1u);
}

// A bind that fails for another reason gives the system's error number, not a taken port.
TEST(TransportTest, AnotherBindFailureNamesItsError) {
  NORV::sLog::LogCapture capture;
  // No address at all (Wine binds even an address the machine does not have).
  const char* bad = "300.1.2.3";
  platform::UdpSocket plain;
  ASSERT_EQ(plain.Open(), 0);
  const int error = plain.Bind(bad, 0);
  ASSERT_NE(error, 0);
  ASSERT_FALSE(platform::UdpSocket::IsAddressInUse(error));
  NorvNetUDT udt;
  EXPECT_EQ(udt.Start(bad, 0, 2), 0);
  EXPECT_EQ(capture.Count("bind port:0 fail "), 1u);
  EXPECT_EQ(capture.Count("port 0 cannot be bound, error " + std::to_string(error)), 1u);
  EXPECT_EQ(capture.Count("is taken"), 0u);
}

// A receiver whose OnRead notes any overlap: restarts must never leave two delivery threads.
TEST(ReceiverRestartTest, RapidRestartsKeepOneObserver) {
  MetaUdpServer server;
  std::atomic<int> inside{0}, overlaps{0}, frames{0};
  // No member the slot's own destructor would destroy before its base disconnects it: the
  // delivery thread may still be inside On until then.
  struct Slot : NORV::sHelper::sigslot::has_slots<> {
    std::atomic<int>* inside;
    std::atomic<int>* overlaps;
    std::atomic<int>* frames;
    void On(uint32_t, const std::string&) {
      if (inside->fetch_add(1) != 0) ++*overlaps;
      ++*frames;
      inside->fetch_sub(1);
    }
  } slot;
  slot.inside = &inside;
  slot.overlaps = &overlaps;
  slot.frames = &frames;
  server.sig_vframe_.connect(&slot, &Slot::On);
  ASSERT_TRUE(server.StartListen(0));
  int port = server.listen_port();
  testing_util::FrameStream stream;
  stream.port = port;
  for (int i = 0; i < 4; ++i) {
    server.StopListen();
    ASSERT_TRUE(server.StartListen(port)) << "restart " << i;
  }
  // A failed start (the port taken by a socket without address reuse) then a good one.
  server.StopListen();
  std::unique_ptr<Sender> squatter;
  ASSERT_TRUE(WaitUntil([&] {  // until the stopped loop has closed its socket
    squatter = std::make_unique<Sender>(port);
    return squatter->bound();
  }));
  EXPECT_FALSE(server.StartListen(port));
  squatter.reset();
  int before = frames.load();
  ASSERT_TRUE(WaitUntil([&] { return server.StartListen(port); }));
  EXPECT_TRUE(WaitUntil([&] { return frames.load() > before + 10; })) << "the observer survived";
  server.StopListen();
  EXPECT_EQ(overlaps.load(), 0);
}

// A start whose observer cannot be added must fail rather than listen deaf. The stopped loop is
// kept ending by a delivery that blocks, and released just after the observer was refused, so
// that binding alone would succeed.
TEST(ReceiverRestartTest, AStartWithoutItsObserverFails) {
  NORV::sLog::LogCapture capture;
  NorvNetUDT::Options options;
  options.previous_loop_wait_ms = 1000;
  MetaUdpServer server(options);
  struct Slot : NORV::sHelper::sigslot::has_slots<> {
    std::atomic<int> frames{0};
    std::atomic<bool> release{false};
    void On(uint32_t, const std::string&) {
      ++frames;
      WaitUntil([this] { return release.load(); }, 30s);
    }
  } slot;
  server.sig_vframe_.connect(&slot, &Slot::On);
  ASSERT_TRUE(server.StartListen(0));
  int port = server.listen_port();
  {
    testing_util::FrameStream stream;
    stream.port = port;
    ASSERT_TRUE(WaitUntil([&] { return slot.frames.load() > 0; }));
  }
  std::thread releaser([&] {
    capture.WaitFor("receive loop still ending, observer not added", 1, 30s);
    slot.release = true;
  });
  server.StopListen();
  EXPECT_FALSE(server.StartListen(port));
  releaser.join();
  EXPECT_FALSE(server.running());
  EXPECT_EQ(
      capture.Count("receiver observer not added, not listening on port " + std::to_string(port)),
      1u);
  EXPECT_EQ(capture.Count("running_=[false]"), 1u);

  int before = slot.frames.load();
  testing_util::FrameStream stream;
  stream.port = port;
  ASSERT_TRUE(WaitUntil([&] { return server.StartListen(port); }));
  EXPECT_TRUE(WaitUntil([&] { return slot.frames.load() > before; })) << "it receives again";
  server.StopListen();
}

// Destroying a listening receiver while datagrams arrive: the delivery thread must be gone before
// the reassembly state it uses (a use-after-free under the address checker otherwise).
TEST(ReceiverRestartTest, DestroyedWhileReceivingIsSafe) {
  testing_util::FrameStream stream;
  struct Slot : NORV::sHelper::sigslot::has_slots<> {
    std::atomic<int> frames{0};
    void On(uint32_t, const std::string&) { ++frames; }
  };
  for (int i = 0; i < 20; ++i) {
    Slot slot;
    auto server = std::make_unique<MetaUdpServer>();
    server->sig_vframe_.connect(&slot, &Slot::On);
    ASSERT_TRUE(server->StartListen(0));
    stream.port = server->listen_port();
    ASSERT_TRUE(WaitUntil([&] { return slot.frames.load() > 0; })) << "round " << i;
    server.reset();  // no StopListen: the destructor must stop delivery itself
    stream.port = 0;
  }
}

}  // namespace
