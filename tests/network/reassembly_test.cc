// Stream packets in, frames out: parsing, checks, reassembly under loss and reordering, index
// space, memory bounds and rate lines. OnRead is driven directly, one packet at a time.
#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MetaUdpServer.h"
#include "VFrameBuffer.h"
#include "common/stream_packet.h"
#include "log/log_capture.h"
#include "platform/clock.h"

namespace {

using testing_util::Packet;

// Cuts a frame into packets of at most `slice` payload bytes.
std::vector<std::string> Packets(uint32_t idx, const std::string& frame, size_t slice) {
  std::vector<std::string> out;
  size_t n = std::max<size_t>(1, (frame.size() + slice - 1) / slice);
  for (size_t i = 0; i < n; ++i)
    out.push_back(
        Packet(idx, static_cast<uint16_t>(i), i + 1 == n, frame.substr(i * slice, slice)));
  return out;
}

class Collector : public NORV::sHelper::sigslot::has_slots<> {
 public:
  void OnFrame(uint32_t idx, const std::string& bytes) { frames.emplace_back(idx, bytes); }
  std::vector<std::pair<uint32_t, std::string>> frames;
};

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override { server_.sig_vframe_.connect(&collector_, &Collector::OnFrame); }
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
}

TEST_F(ReceiverTest, FloodsOfBadDatagramsLogAFewLinesOnly) {
  NORV::sLog::LogCapture capture;
  for (int i = 0; i < 1000; ++i) Feed("tiny");
  EXPECT_LE(capture.Count("pack is too small len:"), 10u);
}

TEST_F(ReceiverTest, BytesBeyondPacklenAreIgnored) {
  Feed(Packet(7, 0, true, "frame") + "trailing junk");
  ASSERT_EQ(collector_.frames.size(), 1u);
  EXPECT_EQ(collector_.frames[0].second, "frame");
}

TEST_F(ReceiverTest, SlicesArePlacedByTheirIndexAndEachFrameLeavesOnce) {
  FeedAll({Packet(7, 0, false, "a."), Packet(7, 1, false, "b.")});
  EXPECT_TRUE(collector_.frames.empty());
  Feed(Packet(7, 2, true, "c."));
  // Reordered: placed by index, not by arrival.
  FeedAll({Packet(5, 0, false, "0."), Packet(5, 2, false, "2."), Packet(5, 1, false, "1."),
           Packet(5, 3, true, "3.")});
  // A lost slice: never handed out.
  FeedAll({Packet(4, 0, false, "x."), Packet(4, 2, true, "z.")});
  // Duplicates, also after completion, and a late packet of an older frame.
  FeedAll({Packet(6, 0, false, "p."), Packet(6, 0, false, "p."), Packet(6, 1, true, "q."),
           Packet(6, 1, true, "q."), Packet(6, 0, false, "p."), Packet(7, 1, false, "b.")});
  // An end that lies before slices already held.
  FeedAll({Packet(8, 0, false, "0."), Packet(8, 5, false, "5."), Packet(8, 1, false, "1."),
           Packet(8, 2, true, "2.")});
  ASSERT_EQ(collector_.frames.size(), 3u);
  EXPECT_EQ(collector_.frames[0], std::make_pair(7u, std::string("a.b.c.")));
  EXPECT_EQ(collector_.frames[1], std::make_pair(5u, std::string("0.1.2.3.")));
  EXPECT_EQ(collector_.frames[2], std::make_pair(6u, std::string("p.q.")));
}

// Slots learn when their frame's first datagram came, whichever packet it was, and nobody
// outside the emission does.
TEST_F(ReceiverTest, SlotsGetTheTimesOfTheFrameBeingEmitted) {
  struct Times : NORV::sHelper::sigslot::has_slots<> {
    void OnFrame(uint32_t idx, const std::string&) {
      MetaUdpServer::FrameTimes t;
      ASSERT_TRUE(MetaUdpServer::EmittingFrameTimes(&t));
      EXPECT_EQ(t.frame_index, idx);
      seen.push_back(t);
    }
    std::vector<MetaUdpServer::FrameTimes> seen;
  } times;
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
  MetaUdpServer::FrameTimes outside;
  EXPECT_FALSE(MetaUdpServer::EmittingFrameTimes(&outside));
}

TEST_F(ReceiverTest, AFirstPacketWithNewContentRestartsItsFrame) {
  FeedAll(Packets(3, "old frame!", 4));
  // The sender restarted and reuses index 3 for another frame.
  FeedAll(Packets(3, "new frame!!", 4));
  ASSERT_EQ(collector_.frames.size(), 2u);
  EXPECT_EQ(collector_.frames[1].second, "new frame!!");
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

TEST(VFrameBufferTest, HoldsAtMostTenFramesWhicheverWayIndicesGo) {
  VFrameBuffer b;
  auto start = [&](uint32_t idx) {
    StreamPacketHeader h;
    h.vstream = true;
    h.frameidx = idx;
    h.pkgindx = 0;
    h.packlen = 9;
    const uint8_t byte = 'x';
    b.insert(h, &byte, 1);
  };
  for (uint32_t i = 1; i <= 10; ++i) start(i);
  EXPECT_EQ(b.held_frames(), 9u) << "the start of frame 10 evicts frame 1";
  for (uint32_t i = 1000; i > 0; --i) start(i);
  EXPECT_LE(b.held_frames(), 10u) << "indices going backwards";
}

TEST(VFrameBufferTest, AFrameBeyondTheCapIsDroppedAndFreed) {
  VFrameBuffer b;
  std::string slice(16000, 'x');
  StreamPacketHeader h;
  h.vstream = true;
  h.frameidx = 9;
  bool reported = false;
  for (uint32_t pk = 0; pk < 1100 && !reported; ++pk) {
    h.pkgindx = static_cast<uint16_t>(pk);
    h.is_final = pk == 1099;
    reported = b.insert(h, reinterpret_cast<const uint8_t*>(slice.data()), slice.size());
  }
  EXPECT_FALSE(reported) << "1100 slices of 16000 bytes exceed 16 MiB";
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

uint32_t g_fake_now = 0;
uint32_t FakeClock() { return g_fake_now; }

TEST_F(ReceiverTest, RateLinesDivideByThree) {
  NORV::sLog::LogCapture capture;
  platform::SetClockMsForTesting(&FakeClock);
  g_fake_now = 1000;
  Feed(Packet(1, 0, true, "f1"));  // starts the frame-rate window; packet window began at 0
  capture.Clear();
  // 300 packets forming 75 frames, then the windows close 3000 ms or more later.
  uint32_t idx = 2;
  for (int f = 0; f < 75; ++f, ++idx)
    FeedAll({Packet(idx, 0, false, "aa"), Packet(idx, 1, false, "bb"), Packet(idx, 2, false, "cc"),
             Packet(idx, 3, true, "dd")});
  g_fake_now = 4000;
  FeedAll({Packet(idx, 0, true, "last")});
  platform::SetClockMsForTesting(nullptr);
  EXPECT_EQ(capture.Count("(packs/s)"), 1u);
  EXPECT_EQ(capture.Count("101(packs/s)") + capture.Count("100(packs/s)"), 1u);
  EXPECT_EQ(capture.Count("25(fullpacks/s)"), 1u);
}

}  // namespace
