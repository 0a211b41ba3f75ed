// Stream packets in, frames out: parsing, checks, reassembly under loss and reordering, index
// space, memory bounds and rate lines. OnRead is driven directly, one packet at a time.
#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MetaUdpServer.h"
#include "StreamSources.h"
#include "VFrameBuffer.h"
#include "common/stream_datagrams.h"
#include "log/log_capture.h"
#include "platform/clock.h"

namespace {

using testing_util::Packet;
using testing_util::Packets;

uint32_t g_now = 0;
uint32_t FakeClock() { return g_now; }

// Offers one packet to `b`; true when it completed a frame.
bool Offer(VFrameBuffer& b, uint32_t idx, uint16_t pk, bool final, const std::string& payload) {
  std::string d = Packet(idx, pk, final, payload);
  StreamPacketHeader h;
  StreamPacketHeader::Parse(reinterpret_cast<const uint8_t*>(d.data()), d.size(), &h);
  return b.insert(h, reinterpret_cast<const uint8_t*>(d.data()) + 8, payload.size());
}

class Collector : public NORV::sHelper::sigslot::has_slots<> {
 public:
  void OnFrame(uint32_t idx, const std::string& bytes) { frames.emplace_back(idx, bytes); }
  std::vector<std::pair<uint32_t, std::string>> frames;
};

class ReceiverTest : public ::testing::Test {
 protected:
  // The test's sender becomes the current source with a stream start at an index no test uses.
  void SetUp() override {
    server_.sig_vframe_.connect(&collector_, &Collector::OnFrame);
    Feed(Packet(0xABCDEF, 0, true, testing_util::kStreamStart));
    collector_.frames.clear();
  }
  void Feed(const std::string& datagram) { server_.OnRead("127.0.0.1", 5000, datagram); }
  void FeedAll(const std::vector<std::string>& datagrams) {
    for (auto& d : datagrams) Feed(d);
  }
  MetaUdpServer server_;
  Collector collector_;
};

TEST(StreamPacketHeaderTest, ReadsTheBigEndianFields) {
  const uint8_t bytes[] = {0x80, 0x0A, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0xAA, 0xBB};
  StreamPacketHeader h;
  ASSERT_TRUE(StreamPacketHeader::Parse(bytes, sizeof(bytes), &h));
  EXPECT_TRUE(h.vstream);
  EXPECT_FALSE(h.is_final);
  EXPECT_EQ(h.packlen, 10);
  EXPECT_EQ(h.frameidx, 258u);
  EXPECT_EQ(h.pkgindx, 0);
  uint8_t back[8];
  h.Write(back);
  EXPECT_EQ(std::memcmp(back, bytes, 8), 0);
}

TEST_F(ReceiverTest, BadDatagramsAreDroppedWithTheirLines) {
  NORV::sLog::LogCapture capture;
  Feed(Packet(5, 0, true, "A"));  // 9 bytes
  EXPECT_EQ(capture.Count("pack is too small len:9"), 1u);
  Feed(Packet(5, 0, true, "AB", false));
  EXPECT_EQ(capture.Count("pack is not vframe"), 1u);
  std::string lying = Packet(6, 0, true, "AB");
  lying[1] = 0x40;  // packlen 64 in a 10-byte datagram
  Feed(lying);
  std::string short_len = Packet(6, 0, true, "AB");
  short_len[1] = 0x04;  // packlen 4, below the header
  Feed(short_len);
  EXPECT_TRUE(collector_.frames.empty());
  // A 10-byte datagram is the smallest frame.
  Feed(Packet(5, 0, true, "AB"));
  ASSERT_EQ(collector_.frames.size(), 1u);
  EXPECT_EQ(collector_.frames[0], std::make_pair(5u, std::string("AB")));
  // Bytes beyond packlen are ignored.
  Feed(Packet(7, 0, true, "frame") + "trailing junk");
  ASSERT_EQ(collector_.frames.size(), 2u);
  EXPECT_EQ(collector_.frames[1].second, "frame");
  // A flood logs a few lines only.
  for (int i = 0; i < 1000; ++i) Feed("tiny");
  EXPECT_LE(capture.Count("pack is too small len:"), 10u);
}

// Slots learn when their frame's first datagram came, whichever packet it was, and nobody
// outside the emission does.
TEST_F(ReceiverTest, SlotsGetTheTimesOfTheFrameBeingEmitted) {
  struct Times : NORV::sHelper::sigslot::has_slots<> {
    void OnFrame(uint32_t idx, const std::string&) {
      auto t = server->EmittingFrameTimes(idx);
      ASSERT_TRUE(t.has_value());
      EXPECT_FALSE(server->EmittingFrameTimes(idx + 1).has_value()) << "another frame's";
      seen.push_back(*t);
    }
    const MetaUdpServer* server = nullptr;
    std::vector<MetaUdpServer::FrameTimes> seen;
  } times;
  times.server = &server_;
  server_.sig_vframe_.connect(&times, &Times::OnFrame);
  auto wait_us = [](int64_t us) {
    for (int64_t end = platform::NowMicros() + us; platform::NowMicros() < end;) {
    }
  };
  const int64_t t0 = platform::NowMicros();
  Feed(Packet(9, 1, false, "later half"));  // reordered: the first to come is not packet 0
  wait_us(3000);
  Feed(Packet(9, 0, false, "first half"));
  wait_us(2000);
  Feed(Packet(9, 2, true, "end"));
  const int64_t t1 = platform::NowMicros();
  ASSERT_EQ(times.seen.size(), 1u);
  EXPECT_GE(times.seen[0].first_datagram_us, t0);
  EXPECT_GE(times.seen[0].complete_us - times.seen[0].first_datagram_us, 5000);
  EXPECT_LE(times.seen[0].complete_us, t1);
  EXPECT_FALSE(server_.EmittingFrameTimes(9).has_value()) << "outside the emission";
}

TEST_F(ReceiverTest, FrameZeroIsNeverHandedOutButHighIndicesAndTheWrapAre) {
  FeedAll(Packets(0x7FFFFFFF, "below half", 4));
  FeedAll(Packets(0x80000000u, "half", 4));
  FeedAll(Packets(0xFFFFFFFFu, "last", 4));
  FeedAll(Packets(0, "zero", 4));
  FeedAll(Packets(1, "one", 4));
  std::vector<uint32_t> idx;
  for (auto& f : collector_.frames) idx.push_back(f.first);
  EXPECT_EQ(idx, (std::vector<uint32_t>{0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 1}));
}

// Ground truth through an impaired network: whatever arrives, every frame handed out is one of
// the sender's frames, byte for byte, under its own index, and once.
TEST_F(ReceiverTest, ImpairedStreamNeverYieldsAWrongFrame) {
  std::mt19937_64 rng(20261207);
  std::map<uint32_t, std::string> sent;
  std::vector<std::string> wire;
  std::vector<std::string> held_back;
  std::uniform_real_distribution<double> u(0, 1);
  for (uint32_t idx = 1; idx <= 3000; ++idx) {
    std::string frame(1 + rng() % 9000, '\0');
    for (char& c : frame) c = static_cast<char>(rng());
    sent[idx] = frame;
    for (std::string& p : Packets(idx, frame, 700)) {
      double r = u(rng);
      if (r < 0.02) continue;           // lost
      if (r < 0.04) wire.push_back(p);  // duplicated
      if (r < 0.07) {
        held_back.push_back(p);  // late: arrives some packets later
        continue;
      }
      wire.push_back(p);
      if (!held_back.empty() && u(rng) < 0.3) {
        wire.push_back(held_back.front());
        held_back.erase(held_back.begin());
      }
    }
  }
  for (auto& p : held_back) wire.push_back(p);
  FeedAll(wire);
  std::set<uint32_t> seen;
  for (auto& [idx, bytes] : collector_.frames) {
    ASSERT_TRUE(sent.count(idx)) << idx;
    EXPECT_EQ(bytes, sent[idx]) << "frame " << idx;
    EXPECT_TRUE(seen.insert(idx).second) << "frame " << idx << " handed out twice";
  }
  // Most frames make it (single-packet frames almost always).
  EXPECT_GT(collector_.frames.size(), 1500u);
}

TEST(ReceiverRateTest, RateLinesDivideByThree) {
  NORV::sLog::LogCapture capture;
  platform::SetClockMsForTesting(&FakeClock);
  g_now = 1000;
  MetaUdpServer server;
  auto feed = [&](const std::string& d) { server.OnRead("127.0.0.1", 5000, d); };
  // Starts the frame-rate window; the packet window began at 0.
  feed(Packet(1, 0, true, testing_util::kStreamStart));
  capture.Clear();
  // 300 packets forming 75 frames, then the windows close 3000 ms or more later.
  uint32_t idx = 2;
  for (int f = 0; f < 75; ++f, ++idx) {
    for (uint16_t pk = 0; pk < 4; ++pk) feed(Packet(idx, pk, pk == 3, "aa"));
  }
  g_now = 4000;
  feed(Packet(idx, 0, true, "last"));
  platform::SetClockMsForTesting(nullptr);
  EXPECT_EQ(capture.Count("(packs/s)"), 1u);
  EXPECT_EQ(capture.Count("100(packs/s)"), 1u);
  EXPECT_EQ(capture.Count("25(fullpacks/s)"), 1u);
}

// --- Reassembly, one transition per packet -------------------------------------------------

using T = VFrameBuffer::Transition;

struct Step {
  uint32_t idx;
  uint16_t pk;
  bool final;
  std::string payload;
  T expect;
};

struct TransitionCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::pair<uint32_t, std::string>> handed_out;
};

class TransitionTest : public ::testing::TestWithParam<TransitionCase> {};

TEST_P(TransitionTest, EachPacketMovesItsFrameByOneNamedTransition) {
  VFrameBuffer b;
  std::vector<std::pair<uint32_t, std::string>> out;
  const auto& steps = GetParam().steps;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    if (Offer(b, s.idx, s.pk, s.final, s.payload)) {
      std::string frame;
      b.GetFrame(frame);
      out.emplace_back(b.completed_index(), frame);
    }
    EXPECT_EQ(b.last_transition(), s.expect)
        << "packet " << i << " (" << s.idx << "." << s.pk << ")";
  }
  EXPECT_EQ(out, GetParam().handed_out);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, TransitionTest,
    ::testing::Values(
        TransitionCase{"InOrder",
                       {{7, 0, false, "a.", T::kStarted},
                        {7, 1, false, "b.", T::kFilled},
                        {7, 2, true, "c.", T::kCompleted}},
                       {{7, "a.b.c."}}},
        TransitionCase{"OnePacket", {{3, 0, true, "x", T::kCompleted}}, {{3, "x"}}},
        TransitionCase{"ALostSliceIsNeverHandedOut",
                       {{4, 0, false, "x.", T::kStarted}, {4, 2, true, "z.", T::kFilled}},
                       {}},
        TransitionCase{"SlicesArePlacedByIndex",
                       {{5, 0, false, "0.", T::kStarted},
                        {5, 2, false, "2.", T::kFilled},
                        {5, 1, false, "1.", T::kFilled},
                        {5, 3, true, "3.", T::kCompleted}},
                       {{5, "0.1.2.3."}}},
        TransitionCase{"AReorderedPacketZeroJoins",
                       {{5, 1, false, "1.", T::kStarted},
                        {5, 0, false, "0.", T::kJoined},
                        {5, 2, true, "2.", T::kCompleted}},
                       {{5, "0.1.2."}}},
        TransitionCase{"RepeatedPacketsChangeNothing",
                       {{6, 0, false, "p.", T::kStarted},
                        {6, 0, false, "p.", T::kRepeated},
                        {6, 1, true, "q.", T::kCompleted},
                        {6, 1, true, "q.", T::kRepeated}},
                       {{6, "p.q."}}},
        TransitionCase{"ARunAfterEmissionIsHandedOutUnlessByteIdentical",
                       {{3, 0, false, "ol", T::kStarted},
                        {3, 1, true, "d", T::kCompleted},
                        {3, 0, false, "ol", T::kRestarted},  // the same first slice
                        {3, 1, true, "d!", T::kCompleted},
                        {3, 0, false, "ol", T::kRestarted},
                        {3, 1, true, "d!", T::kDuplicated}},
                       {{3, "old"}, {3, "old!"}}},
        TransitionCase{"PacketZeroAgainRestartsAndNothingOfTheOldRunStays",
                       {{5, 0, false, "old0.", T::kStarted},
                        {5, 1, false, "old1.", T::kFilled},
                        {5, 0, false, "new0.", T::kRestarted},
                        {5, 2, true, "new2.", T::kFilled}},  // new1 lost: incomplete
                       {}},
        TransitionCase{"ASliceWithOtherBytesDropsTheFrame",
                       {{5, 1, false, "X1.", T::kStarted},
                        {5, 0, false, "Y0.", T::kJoined},
                        {5, 1, false, "Y1.", T::kConflicted},
                        {5, 2, true, "Y2.", T::kRepeated},
                        {5, 0, false, "Y0.", T::kRestarted},
                        {5, 1, false, "Y1.", T::kFilled},
                        {5, 2, true, "Y2.", T::kCompleted}},
                       {{5, "Y0.Y1.Y2."}}},
        TransitionCase{"TwoEndsOrASliceBeyondTheEndDropTheFrame",
                       {{8, 0, false, "0.", T::kStarted},
                        {8, 5, false, "5.", T::kFilled},
                        {8, 2, true, "2.", T::kConflicted},
                        {9, 0, false, "0.", T::kStarted},
                        {9, 2, true, "2.", T::kFilled},
                        {9, 3, false, "3.", T::kConflicted}},
                       {}},
        // An older run's leftover (frame 5 without its packet 0) is not joined by the new run's
        // packets after later frames started: no new0|OLD1|new2.
        TransitionCase{"ALeftoverOfAnOlderRunIsNeverJoined",
                       {{5, 1, false, "OLD1.", T::kStarted},
                        {1, 0, true, "f1", T::kCompleted},
                        {2, 0, true, "f2", T::kCompleted},
                        {5, 0, false, "new0.", T::kRestarted},
                        {5, 2, true, "new2.", T::kFilled}},
                       {{1, "f1"}, {2, "f2"}}},
        TransitionCase{"ALatePacketOfAnEmittedFrameIsRepeated",
                       {{7, 0, true, "a", T::kCompleted}, {7, 1, false, "b", T::kRepeated}},
                       {{7, "a"}}},
        TransitionCase{"IndexZeroIsNeverHandedOut", {{0, 0, true, "z", T::kZero}}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A frame sent again 12 frames later is handed out once; a late frame with other bytes, as it is.
TEST(VFrameBufferTest, OnlyTrueDuplicatesAreDropped) {
  VFrameBuffer b;
  std::vector<uint32_t> out;
  auto send = [&](uint32_t idx, const std::string& bytes) {
    if (Offer(b, idx, 0, true, bytes)) out.push_back(b.completed_index());
  };
  for (uint32_t i = 1; i <= 20; ++i) send(i, "frame " + std::to_string(i));
  send(8, "frame 8");        // 12 frames later, byte-identical
  send(9, "frame 9, late");  // same index, other bytes
  send(30, "frame 8");       // same bytes, other index
  std::vector<uint32_t> want(20);
  std::iota(want.begin(), want.end(), 1u);
  want.insert(want.end(), {9, 30});
  EXPECT_EQ(out, want);
  EXPECT_EQ(b.duplicates(), 1u);
  // Beyond the window it is handed out again.
  for (uint32_t i = 100; i < 100 + VFrameBuffer::kDuplicateWindow; ++i) send(i, "x");
  out.clear();
  send(8, "frame 8");
  EXPECT_EQ(out, std::vector<uint32_t>{8});
}

// Frames and bytes stay within the budget whatever arrives, and the frame touched last is the
// one that survives.
TEST(VFrameBufferTest, HoldsNoMoreThanItsBudget) {
  for (VFrameBuffer::Budget budget : {VFrameBuffer::kCurrentBudget, VFrameBuffer::kOtherBudget}) {
    VFrameBuffer b(budget);
    std::mt19937 rng(7);
    std::string slice(14000, 's');
    for (int i = 0; i < 20000; ++i) {
      StreamPacketHeader h;
      h.vstream = true;
      h.frameidx = rng() % 64;
      h.pkgindx = static_cast<uint16_t>(rng() % 2000);
      b.insert(h, reinterpret_cast<const uint8_t*>(slice.data()), slice.size());
      ASSERT_LE(b.held_frames(), budget.frames);
      ASSERT_LE(b.held_bytes(), budget.bytes);
    }
    EXPECT_GT(b.evicted(), 0u);
  }
  // A frame larger than the budget is dropped, and frees what it held.
  VFrameBuffer small(VFrameBuffer::kOtherBudget);
  std::string slice(16000, 'x');
  StreamPacketHeader h;
  h.vstream = true;
  h.frameidx = 9;
  T last = T::kStarted;
  for (uint16_t pk = 0; pk < 600 && last != T::kOverflowed; ++pk) {
    h.pkgindx = pk;
    small.insert(h, reinterpret_cast<const uint8_t*>(slice.data()), slice.size());
    last = small.last_transition();
  }
  EXPECT_EQ(last, T::kOverflowed) << "600 slices of 16000 bytes exceed 8 MiB";
  EXPECT_EQ(small.held_bytes(), 0u);
}

// --- Sources ----------------------------------------------------------------------------------

std::string Nal(std::initializer_list<uint8_t> header, size_t payload = 40, uint8_t fill = 0x5A) {
  std::string s("\0\0\0\1", 4);
  for (uint8_t h : header) s += static_cast<char>(h);
  s.append(payload, static_cast<char>(fill));
  return s;
}

TEST(FrameLookTest, ParameterSetsKeySlicesAndRecoveryPointsStartAStream) {
  const std::string sei_recovery = Nal({0x06, 0x05, 0x02, 0xAA, 0xBB, 0x06, 0x01, 0x84}, 0);
  const std::string sei_timing = Nal({0x06, 0x01, 0x01, 0x00, 0x80}, 0);
  struct {
    std::string frame;
    FrameLook look;
  } cases[] = {
      {Nal({0x67}) + Nal({0x68}) + Nal({0x65}), FrameLook::kStreamStart},  // H.264 SPS PPS IDR
      {Nal({0x09, 0xF0}) + Nal({0x65}), FrameLook::kStreamStart},          // AUD, IDR
      {Nal({0x41}), FrameLook::kVideo},                                    // P slice
      {Nal({0x01}), FrameLook::kVideo},                                    // non-reference
      {sei_recovery + Nal({0x41}), FrameLook::kStreamStart},               // intra refresh
      {sei_timing + Nal({0x41}), FrameLook::kVideo},
      {Nal({0x40, 0x01}) + Nal({0x42, 0x01}) + Nal({0x44, 0x01}) + Nal({0x26, 0x01}),
       FrameLook::kStreamStart},                                       // H.265 VPS SPS PPS IDR
      {Nal({0x2A, 0x01}), FrameLook::kStreamStart},                    // H.265 CRA
      {Nal({0x02, 0x01}), FrameLook::kVideo},                          // H.265 TRAIL_R
      {Nal({0x4E, 0x01, 0x06, 0x01, 0x00}), FrameLook::kStreamStart},  // H.265 recovery SEI
      {Nal({0x40, 0x09}), FrameLook::kJunk},                     // VPS header of another layer
      {Nal({0xE7}), FrameLook::kJunk},                           // forbidden bit
      {std::string("\x67\x42\0\0\1\x65", 6), FrameLook::kJunk},  // no start code first
      {std::string("AB"), FrameLook::kJunk},
      {std::string("\0\0\1", 3), FrameLook::kJunk},
  };
  for (const auto& c : cases) EXPECT_EQ(LookOf(c.frame), c.look) << testing::PrintToString(c.frame);
  // Random bytes never look like a stream start unless they begin with a start code.
  std::mt19937 rng(3);
  for (int i = 0; i < 20000; ++i) {
    std::string junk(2 + rng() % 40, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    if (junk.compare(0, 3, std::string("\0\0\1", 3)) != 0 &&
        junk.compare(0, 4, std::string("\0\0\0\1", 4)) != 0) {
      ASSERT_EQ(LookOf(junk), FrameLook::kJunk);
    }
  }
}

// A receiver fed by several senders on a clock the test moves. Each sender cuts real-looking
// frames (a key frame first) into packets; every frame handed out is checked against what was
// sent under its index by its sender.
class SourcesTest : public ::testing::Test {
 protected:
  struct Sender {
    std::string ip;
    int port;
    uint32_t run;  // tells apart frames of two runs with the same index
  };

  void SetUp() override {
    platform::SetClockMsForTesting(&FakeClock);
    g_now = 10000;
    server_.sig_vframe_.connect(&collector_, &Collector::OnFrame);
  }
  void TearDown() override { platform::SetClockMsForTesting(nullptr); }

  static std::string Frame(const Sender& s, uint32_t idx, bool key) {
    // The run's mark at the end: frames of two runs under one index share their first slice.
    std::string body(1500 + idx % 7 * 300, 'a');
    body += " run " + std::to_string(s.run) + " frame " + std::to_string(idx);
    return key ? Nal({0x67}, 8) + Nal({0x68}, 4) + Nal({0x65}, 0) + body : Nal({0x41}, 0) + body;
  }
  std::vector<std::string> PacketsOf(const Sender& s, uint32_t idx, bool key) {
    std::string f = Frame(s, idx, key);
    sent_[{s.run, idx}] = f;
    return Packets(idx, f, 500);
  }
  void Send(const Sender& s, uint32_t idx, bool key) {
    for (auto& p : PacketsOf(s, idx, key)) server_.OnRead(s.ip, s.port, p);
  }
  void Datagram(const Sender& s, const std::string& d) { server_.OnRead(s.ip, s.port, d); }
  // Every frame handed out is one sender's frame, whole: never two sources or two runs mixed.
  // Returns the runs the frames came from, in order.
  std::vector<uint32_t> CheckedRuns() {
    std::vector<uint32_t> runs;
    for (auto& [idx, bytes] : collector_.frames) {
      uint32_t run = static_cast<uint32_t>(std::stoul(bytes.substr(bytes.rfind(" run ") + 5)));
      auto it = sent_.find({run, idx});
      EXPECT_TRUE(it != sent_.end() && it->second == bytes) << "frame " << idx << " mixed";
      runs.push_back(run);
    }
    return runs;
  }
  size_t FramesOf(uint32_t run) {
    auto runs = CheckedRuns();
    return static_cast<size_t>(std::count(runs.begin(), runs.end(), run));
  }

  MetaUdpServer server_;
  Collector collector_;
  std::map<std::pair<uint32_t, uint32_t>, std::string> sent_;
};

// Ten junk datagrams per real one, from another socket, before the stream starts and during it,
// of both kinds: complete one-packet frames and first packets of frames that never end.
TEST_F(SourcesTest, JunkFromAnotherSourceNeverCostsAFrame) {
  NORV::sLog::LogCapture capture;
  const Sender real{"127.0.0.1", 5000, 1}, junk{"127.0.0.1", 6000, 2};
  uint32_t junk_idx = 1;
  auto junk_burst = [&] {
    for (int j = 0; j < 10; ++j, ++junk_idx) {
      Datagram(junk,
               j % 2 ? Packet(junk_idx, 0, true, "zz") : Packet(junk_idx * 7919, 1, false, "xxxx"));
    }
  };
  for (int i = 0; i < 50; ++i) junk_burst();
  for (uint32_t idx = 1; idx <= 150; ++idx) {
    for (auto& p : PacketsOf(real, idx, idx % 30 == 1)) {
      Datagram(real, p);
      junk_burst();
    }
    g_now += 33;
  }
  EXPECT_EQ(FramesOf(1), 150u);
  EXPECT_EQ(collector_.frames.size(), 150u);
  EXPECT_EQ(capture.Count("stream source 127.0.0.1:5000 is current, none was before"), 1u);
}

// A sender that restarts on a new port, reusing indices, is taken over once the old port has
// completed nothing for the take-over time, at its first stream start.
TEST_F(SourcesTest, ASenderRestartedOnANewPortTakesOverAtItsFirstKeyFrame) {
  NORV::sLog::LogCapture capture;
  const Sender old_run{"127.0.0.1", 5000, 1}, new_run{"127.0.0.1", 5002, 2};
  for (uint32_t idx = 1; idx <= 20; ++idx, g_now += 33) Send(old_run, idx, idx == 1);
  // The new run starts at once: its first key frame comes too soon and is withheld, and so are
  // its next frames while the old port was heard from within the take-over time.
  for (uint32_t idx = 1; idx <= 10; ++idx, g_now += 33) Send(new_run, idx, idx == 1);
  EXPECT_EQ(FramesOf(2), 0u);
  g_now += StreamSources::kTakeOverAfterMs;
  // Frames that are no stream start never take over, however many in a row.
  for (uint32_t idx = 11; idx <= 20; ++idx, g_now += 33) Send(new_run, idx, false);
  EXPECT_EQ(FramesOf(2), 0u);
  for (uint32_t idx = 21; idx <= 40; ++idx, g_now += 33) Send(new_run, idx, idx == 21);
  EXPECT_EQ(FramesOf(1), 20u);
  EXPECT_EQ(FramesOf(2), 20u) << "from its key frame 21 on";
  EXPECT_EQ(capture.Count("stream source 127.0.0.1:5002 takes over from 127.0.0.1:5000"), 1u);
  // A frame of the old source now is withheld.
  Send(old_run, 21, true);
  EXPECT_EQ(FramesOf(1), 20u);
}

// A restart on the same port with indices from 1: the new run's frames come out as they are,
// whatever is left of the old run under the same indices, and whatever was lost around it.
TEST_F(SourcesTest, ARestartOnTheSamePortNeverMixesTwoRuns) {
  const Sender old_run{"127.0.0.1", 5000, 1}, new_run{"127.0.0.1", 5000, 2};
  for (uint32_t idx = 1; idx <= 8; ++idx) Send(old_run, idx, idx == 1);
  // The old run's frame 9 lost its packet 0, and frame 10 ends half way.
  auto p9 = PacketsOf(old_run, 9, false);
  for (size_t i = 1; i < p9.size(); ++i) Datagram(old_run, p9[i]);
  Datagram(old_run, PacketsOf(old_run, 10, false)[0]);
  // The new run: frame 1's first slice equals the old run's (the same parameter sets), frame 3
  // loses its packet 0, frames 9 and 10 meet the leftovers.
  for (uint32_t idx = 1; idx <= 12; ++idx) {
    auto p = PacketsOf(new_run, idx, idx == 1);
    for (size_t i = idx == 3 ? 1 : 0; i < p.size(); ++i) Datagram(new_run, p[i]);
  }
  EXPECT_EQ(FramesOf(1), 8u);
  EXPECT_EQ(FramesOf(2), 11u) << "all but frame 3";
}

TEST_F(SourcesTest, ASenderJoinedMidStreamIsTakenAfterAFewFramesInARow) {
  const Sender s{"127.0.0.1", 5000, 1};
  for (uint32_t idx = 100; idx < 110; ++idx) Send(s, idx, false);
  EXPECT_EQ(FramesOf(1), 10u - StreamSources::kVideoInARow + 1);
}

// A second sender interleaved packet by packet with the same indices and key frames, and
// thousands of strangers: the first stays current and the source table stays bounded.
TEST_F(SourcesTest, OtherSendersNeverDisturbTheCurrentOne) {
  const Sender real{"127.0.0.1", 5000, 1}, twin{"127.0.0.1", 5001, 2};
  for (uint32_t idx = 1; idx <= 30; ++idx) {
    auto pr = PacketsOf(real, idx, idx % 10 == 1), pt = PacketsOf(twin, idx, idx % 10 == 1);
    for (size_t i = 0; i < std::max(pr.size(), pt.size()); ++i) {
      if (i < pr.size()) Datagram(real, pr[i]);
      if (i < pt.size()) Datagram(twin, pt[i]);
    }
    for (int port = 0; idx > 1 && port < 200; ++port) {
      Sender stranger{"127.0.0.2", 7000 + port + static_cast<int>(idx) * 200, 3};
      Send(stranger, idx, true);  // valid-looking stream starts, while the real one is alive
    }
    g_now += 33;
  }
  EXPECT_EQ(FramesOf(1), 30u);
  EXPECT_EQ(FramesOf(2), 0u);
  EXPECT_EQ(FramesOf(3), 0u);
}

TEST_F(SourcesTest, ListeningAgainForgetsTheLastSender) {
  const Sender a{"127.0.0.1", 5000, 1}, b{"127.0.0.1", 5001, 2};
  Send(a, 1, true);
  ASSERT_TRUE(server_.StartListen(0));
  server_.StopListen();
  Send(b, 1, true);  // no waiting for the old sender to fall silent
  Send(a, 2, false);
  EXPECT_EQ(FramesOf(1), 1u);
  EXPECT_EQ(FramesOf(2), 1u);
}

}  // namespace
