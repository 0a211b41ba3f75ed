// The whole channel inside this process: pellion-send (a child) -> UDP 9111 -> receiver ->
// decoder thread -> shared section, read back as it comes with the reader hosts use.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <tuple>
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

// A clip, and the decoder's threads: 1, or 0 for the process's setting (slice threads).
class ChannelE2eTest : public ::testing::TestWithParam<std::tuple<const char*, int>> {
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
    ProcessVideoDecoder().set_threads(0);
  }
  fs::path dir_;
};

TEST_P(ChannelE2eTest, EveryPictureReadIsTheReferenceOfItsAccessUnit) {
  const std::string clip = std::get<0>(GetParam());
  ProcessVideoDecoder().set_threads(std::get<1>(GetParam()));
  Reference ref;
  ASSERT_TRUE(ref.Load(clip)) << "no reference for " << clip;
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
  // The closing run below comes from the same port: to the channel, the same sender.
  const std::string source_port = std::to_string(FreeUdpPort());
  Child sender;
  ASSERT_TRUE(sender.Start({PELLION_SEND_PATH, ClipPath(clip).string(), "--host", "127.0.0.1",
                            "--port", "9111", "--source-port", source_port, "--fps", "60",
                            "--trace", trace_path.string(), "--request-port", "0"},
                           dir_ / "send.out", dir_ / "send.err"));

  // Copy each picture out at once and check later: the publisher does not wait for readers.
  std::vector<Read> reads;
  int torn_reads = 0;
  auto read_until = [&](const std::function<bool()>& done, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      if (!reader.Wait(20)) continue;
      Read r;
      bool torn = false;
      if (reader.Read(&r.header, &r.nv12, &torn))
        reads.push_back(std::move(r));
      else if (torn)
        ++torn_reads;
    }
  };
  std::optional<int> sent;
  read_until([&] { return (sent = sender.Wait(0ms)).has_value(); }, 30s);
  ASSERT_EQ(sent, 0) << ReadText(dir_ / "send.err");
  Trace trace = ReadTrace(trace_path);
  ASSERT_FALSE(trace.frames.empty());

  // The clip's first unit again, a key frame under the next index: a decoder that holds
  // pictures back lets them all out in front of it.
  const uint32_t closing = trace.frames.back().index + 1;
  Child closer;
  ASSERT_TRUE(closer.Start({PELLION_SEND_PATH, ClipPath(clip).string(), "--host", "127.0.0.1",
                            "--port", "9111", "--source-port", source_port, "--request-port", "0",
                            "--frames", "5", "--first-index", std::to_string(closing)},
                           dir_ / "closing.out", dir_ / "closing.err"));
  read_until([&] { return !reads.empty() && reads.back().header.frame_index == closing; }, 10s);
  EXPECT_EQ(closer.Wait(10s), 0) << ReadText(dir_ / "closing.err");
  channel.StopChan();
  channel.SetTcpOper(nullptr);

  std::set<uint32_t> seen;
  size_t last = 0;
  int identical = 0, torn = 0;
  for (const Read& r : reads) {
    const uint32_t idx = r.header.frame_index;
    if (idx == closing) continue;
    auto at = trace.position.find(idx);
    ASSERT_NE(at, trace.position.end()) << "picture " << idx << " was never sent";
    const TraceFrame& f = trace.frames[at->second];
    ASSERT_LT(f.au, ref.count());
    EXPECT_GE(ref.DisplayPosition(f.au), last) << "pictures out of display order";
    last = ref.DisplayPosition(f.au);
    EXPECT_EQ(r.header.width, 640);
    EXPECT_EQ(r.header.height, 360);
    std::vector<std::span<const uint8_t>> earlier;
    for (size_t p = at->second >= 8 ? at->second - 8 : 0; p < at->second + 8; ++p)
      if (p != at->second && p < trace.frames.size() && !ref.Picture(trace.frames[p].au).empty())
        earlier.push_back(ref.Picture(trace.frames[p].au));
    ASSERT_FALSE(ref.Picture(f.au).empty()) << "access unit " << f.au << " has no picture";
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
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back().header.frame_index, closing) << "the closing key frame was not published";
  // A reader starved by a busy machine misses pictures; a channel that stops publishing
  // shows as requests (below) and as a missing closing frame.
  EXPECT_LE(missed * 2, trace.frames.size()) << "most frames never seen\n"
                                             << ReadText(dir_ / "send.err");
  EXPECT_EQ(torn, 0) << "a copy the reader calls whole is never a mix of two pictures";
  EXPECT_EQ(requests.calls.load(), 0) << "a whole stream needs no key-frame request";
}

INSTANTIATE_TEST_SUITE_P(
    Clips, ChannelE2eTest,
    ::testing::Combine(::testing::Values("h264_640x360.h264", "hevc_640x360.h265",
                                         "h264_bpyramid_640x360.h264", "hevc_opengop_640x360.h265"),
                       ::testing::Values(0, 1)),
    [](const auto& info) {
      std::string name = std::get<0>(info.param);
      return name.substr(0, name.find('_')) +
             (name.find("bpyramid") != std::string::npos  ? "BPyramid"
              : name.find("opengop") != std::string::npos ? "OpenGop"
                                                          : "") +
             (std::get<1>(info.param) == 1 ? "OneThread" : "SliceThreads");
    });

}  // namespace
