// pellion-send's pieces tested directly, where a process would be slower and less exact: the
// packetizer's cuts, the impairer's seeded statistics and the poller its listener runs on.
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StreamPacketHeader.h"
#include "common/poller.h"
#include "send/impairer.h"
#include "send/packetizer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Cut {
  size_t size, payload;
};
class PacketizeTest : public ::testing::TestWithParam<Cut> {};

// A last packet of one byte would make a 9-byte datagram, which receivers drop with the frame.
TEST_P(PacketizeTest, PacketsCarryTheFrameInOrderAndNoneIsUnderTenBytes) {
  const auto [size, payload] = GetParam();
  Bytes frame(size);
  for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(i * 7 + 1);
  std::vector<Bytes> out;
  pellion_send::Packetize(frame, 77, payload, [&](Bytes d) { out.push_back(std::move(d)); });
  ASSERT_EQ(out.size(), pellion_send::PacketCount(size, payload));
  Bytes joined;
  for (size_t k = 0; k < out.size(); ++k) {
    StreamPacketHeader h;
    ASSERT_TRUE(StreamPacketHeader::Parse(out[k].data(), out[k].size(), &h));
    EXPECT_GE(out[k].size(), 10u) << "packet " << k;
    EXPECT_LE(out[k].size(), StreamPacketHeader::kSize + payload) << "packet " << k;
    // Only the last two may share what is left.
    EXPECT_TRUE(k + 2 >= out.size() || out[k].size() == StreamPacketHeader::kSize + payload) << k;
    EXPECT_TRUE(h.vstream);
    EXPECT_EQ(h.packlen, out[k].size());
    EXPECT_EQ(h.frameidx, 77u);
    EXPECT_EQ(h.pkgindx, k);
    EXPECT_EQ(h.is_final, k + 1 == out.size());
    joined.insert(joined.end(), out[k].begin() + StreamPacketHeader::kSize, out[k].end());
  }
  EXPECT_TRUE(joined == frame);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PacketizeTest,
                         ::testing::Values(Cut{50, 100}, Cut{200, 100}, Cut{101, 100},
                                           Cut{201, 100}, Cut{4, 3}, Cut{7, 3}),
                         [](const auto& info) {
                           return std::to_string(info.param.size) + "_in_" +
                                  std::to_string(info.param.payload);
                         });

// Pushes `n` datagrams numbered 0..n-1; returns the numbers sent, in order, duplicates included.
struct Impaired {
  std::vector<uint32_t> sent;
  std::map<uint64_t, int> done;  // per datagram serial: how often reported sent or dropped
  uint64_t dropped = 0;
  std::set<uint32_t> Unique() const { return {sent.begin(), sent.end()}; }
};
Impaired Impair(const pellion_send::ImpairOptions& o, uint32_t n = 20000) {
  Impaired r;
  pellion_send::Impairer imp(
      o, [&](const Bytes& d) { r.sent.push_back(d[0] | d[1] << 8 | d[2] << 16 | d[3] << 24); },
      [&](uint64_t serial) { ++r.done[serial]; });
  for (uint32_t i = 0; i < n; ++i)
    imp.Push({{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i >> 16),
               static_cast<uint8_t>(i >> 24)},
              i});
  imp.Flush();
  r.dropped = imp.dropped();
  EXPECT_EQ(r.done.size(), n) << "each datagram reported once, sent or dropped";
  for (auto& [serial, times] : r.done) EXPECT_EQ(times, 1) << "datagram " << serial;
  return r;
}

TEST(Impairer, LossIsSeededNearItsRateAndComesInBursts) {
  const Impaired a = Impair({.loss = 0.1, .seed = 7});
  EXPECT_EQ(a.sent, Impair({.loss = 0.1, .seed = 7}).sent) << "same seed, same losses";
  EXPECT_NE(a.sent, Impair({.loss = 0.1, .seed = 8}).sent) << "the seed matters";
  EXPECT_EQ(a.Unique(), Impair({.loss = 0.1, .dup = 0.3, .seed = 7}).Unique())
      << "duplication leaves the loss pattern alone";
  EXPECT_EQ(a.dropped, 20000 - a.sent.size());
  EXPECT_GT(a.dropped, 20000u * 7 / 100);
  EXPECT_LT(a.dropped, 20000u * 13 / 100);

  const std::set<uint32_t> got = Impair({.loss = 0.02, .burst = 5}).Unique();
  std::vector<size_t> runs(1, 0);
  for (uint32_t i = 0; i < 20000; ++i) {
    if (got.count(i) == 0)
      ++runs.back();
    else if (runs.back() > 0)
      runs.push_back(0);
  }
  ASSERT_GT(runs.size(), 10u);
  for (size_t i = 0; i + 1 < runs.size(); ++i) EXPECT_GE(runs[i], 5u) << "losses come in fives";
}

// Holding back every datagram (--reorder 1) still lets the stream flow, at a bounded depth.
TEST(Impairer, ReorderingEverythingStillFlowsWithinABoundedDepth) {
  std::vector<uint32_t> sent;
  pellion_send::Impairer imp(
      {.reorder = 1}, [&](const Bytes& d) { sent.push_back(d[0] | d[1] << 8); }, [](uint64_t) {});
  for (uint32_t i = 0; i < 1000; ++i) {
    imp.Push({{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}, i});
    ASSERT_LE(i + 1 - sent.size(), 65u) << "held back without bound";
  }
  imp.Flush();
  EXPECT_EQ(std::set<uint32_t>(sent.begin(), sent.end()).size(), 1000u);
  EXPECT_EQ(sent.size(), 1000u);
}

struct Pipe {
  pellion_tools::UniqueFd read, write;
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    read = pellion_tools::UniqueFd(fds[0]);
    write = pellion_tools::UniqueFd(fds[1]);
  }
};

TEST(Poller, ReportsInputHonoursMuteAndDeadlineAndWakesFromAnotherThread) {
  pellion_tools::Poller poller;
  Pipe a, b;
  poller.Add(a.read.get());
  poller.Add(b.read.get());
  ASSERT_EQ(write(a.write.get(), "x", 1), 1);
  ASSERT_EQ(write(b.write.get(), "x", 1), 1);
  poller.Mute(a.read.get(), true);
  pellion_tools::Poller::Result r = poller.Wait();
  EXPECT_FALSE(r.woken);
  EXPECT_EQ(r.ready, std::vector<int>{b.read.get()}) << "a muted descriptor is not waited on";

  poller.Remove(b.read.get());
  const int64_t deadline = pellion_tools::MonotonicNs() + 20'000'000;
  r = poller.Wait(deadline);
  EXPECT_FALSE(r.woken);
  EXPECT_TRUE(r.ready.empty());
  EXPECT_GE(pellion_tools::MonotonicNs(), deadline) << "not back before the deadline";

  std::thread waker([&] { poller.Wake(); });
  r = poller.Wait();  // no deadline: only the wake-up ends it
  waker.join();
  EXPECT_TRUE(r.woken);
  poller.Mute(a.read.get(), false);
  r = poller.Wait();
  EXPECT_FALSE(r.woken) << "one wake-up, one return";
  EXPECT_EQ(r.ready, std::vector<int>{a.read.get()});
}

}  // namespace
