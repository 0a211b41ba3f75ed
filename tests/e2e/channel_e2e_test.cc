// The whole channel inside this process: pellion-send (a child) -> UDP 9111 -> receiver ->
// decoder thread -> shared section, read back as it comes with the reader hosts use.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MetaUdpServer.h"
#include "Pellion.h"
#include "common/wait.h"
#include "e2e_support.h"
#include "pellion/frame_section.h"
#include "video_decoder.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;
using testing_util::WaitUntil;

class CountingSender : public ITcpOper {
 public:
  int32_t SendMsg(uint32_t, const void*, uint32_t) override {
    ++calls;
    return 0;
  }
  std::atomic<int> calls{0};
};

struct Read {
  pellion::FrameHeader header;
  std::vector<uint8_t> nv12;
};

class ChannelE2eTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pellion-e2e-channel-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // The process has one decoder: the previous clip's codec must not meet this one.
    reset_video_decoder();
  }
  void TearDown() override {
    fs::remove_all(dir_);
    reset_video_decoder();
  }
  fs::path dir_;
};

TEST_P(ChannelE2eTest, EveryPictureReadIsTheReferenceOfItsAccessUnit) {
  const std::string clip = GetParam();
  Reference ref;
  ASSERT_TRUE(ref.Load(clip, 640, 360)) << "no reference for " << clip;
  // A channel of an earlier test closes its socket within a second of its stop.
  ASSERT_TRUE(WaitUntil([] { return !UdpPortBound(Pellion::kStreamPort); }, 5s))
      << "UDP 9111 is taken";

  Pellion channel;
  CountingSender requests;
  channel.SetTcpOper(&requests);
  pellion::FrameReader reader;
  ASSERT_TRUE(reader.Open()) << std::strerror(reader.error());
  while (reader.Wait(0)) {
  }  // a signal left over from an earlier run
  ASSERT_EQ(channel.StartChan(), 1);
  ASSERT_TRUE(WaitUntil([] {
    auto receiver = MetaUdpServer::GetInstance();
    return receiver->running() && receiver->listen_port() == Pellion::kStreamPort;
  })) << "the channel does not listen on 9111";

  const fs::path trace_path = dir_ / "trace";
  Child sender;
  ASSERT_TRUE(
      sender.Start({PELLION_SEND_PATH, ClipPath(clip).string(), "--host", "127.0.0.1", "--port",
                    "9111", "--fps", "60", "--trace", trace_path.string(), "--request-port", "0"},
                   dir_ / "send.out", dir_ / "send.err"));

  // Copy each picture out at once and check later: the publisher does not wait for readers.
  std::vector<Read> reads;
  int torn_reads = 0;
  std::optional<int> sent;
  Trace trace;
  auto deadline = std::chrono::steady_clock::now() + 30s;
  for (;;) {
    if (reader.Wait(20)) {
      Read r;
      bool torn = false;
      if (reader.Read(&r.header, &r.nv12, &torn)) {
        if (torn)
          ++torn_reads;
        else
          reads.push_back(std::move(r));
      }
    }
    if (!sent && (sent = sender.Wait(0ms))) {
      trace = ReadTrace(trace_path);
      deadline = std::chrono::steady_clock::now() + 5s;  // for the frames still on their way
    }
    if (sent && !trace.frames.empty() && !reads.empty() &&
        reads.back().header.frame_index == trace.frames.back().index)
      break;
    if (std::chrono::steady_clock::now() > deadline) break;
  }
  channel.StopChan();
  channel.SetTcpOper(nullptr);
  ASSERT_EQ(sent, 0) << ReadText(dir_ / "send.err");
  ASSERT_FALSE(trace.frames.empty());

  std::set<uint32_t> seen;
  uint32_t last = 0;
  int identical = 0, torn = 0;
  for (const Read& r : reads) {
    const uint32_t idx = r.header.frame_index;
    auto at = trace.position.find(idx);
    ASSERT_NE(at, trace.position.end()) << "picture " << idx << " was never sent";
    EXPECT_GE(idx, last) << "pictures out of order";
    last = idx;
    EXPECT_EQ(r.header.width, 640);
    EXPECT_EQ(r.header.height, 360);
    const TraceFrame& f = trace.frames[at->second];
    ASSERT_LT(f.au, ref.count());
    std::vector<std::span<const uint8_t>> earlier;
    for (size_t p = at->second >= 8 ? at->second - 8 : 0; p < at->second; ++p)
      earlier.push_back(ref.Picture(trace.frames[p].au));
    switch (Compare(r.nv12, ref.Picture(f.au), earlier)) {
      case Verdict::kIdentical:
        ++identical;
        break;
      case Verdict::kTorn:
        ++torn;
        break;
      case Verdict::kDifferent:
        ADD_FAILURE() << "picture " << idx << " (access unit " << f.au
                      << ") differs from the ffmpeg decode";
    }
    seen.insert(idx);
  }
  const size_t missed = trace.frames.size() - seen.size();
  std::printf(
      "%s: %zu frames sent, %zu pictures read (%d identical, %d torn unnoticed, %d torn), "
      "%zu frames never seen\n",
      clip.c_str(), trace.frames.size(), reads.size(), identical, torn, torn_reads, missed);
  EXPECT_EQ(seen.count(trace.frames.back().index), 1u) << "the last frame was not published";
  // A reader starved by a busy machine misses pictures; a channel that stops publishing
  // shows as requests (below) and as a missing last frame.
  EXPECT_LE(missed * 2, trace.frames.size()) << "most frames never seen\n"
                                             << ReadText(dir_ / "send.err");
  EXPECT_EQ(torn, 0) << "a copy the reader calls whole is never a mix of two pictures";
  EXPECT_EQ(requests.calls.load(), 0) << "a whole stream needs no key-frame request";
}

INSTANTIATE_TEST_SUITE_P(Clips, ChannelE2eTest,
                         ::testing::Values("h264_640x360.h264", "hevc_640x360.h265"),
                         [](const auto& info) {
                           return std::string(info.param).starts_with("h264") ? "H264" : "Hevc";
                         });

}  // namespace
