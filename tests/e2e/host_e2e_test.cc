// Two processes, as a user runs them: pellion-send -> UDP 9111 -> pellion-host (which loads
// Pellion.so) -> its --dump of every picture it read, compared with the ffmpeg decode of the
// access unit the sender's trace gives for that frame index.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ShareMemVFrame.h"
#include "common/stream_packet.h"
#include "common/wait.h"
#include "e2e_support.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;
using testing_util::WaitUntil;

constexpr size_t kGop = 30;                   // the clips' key-frame interval
constexpr uint32_t kLeftBehind = 0x7FFF0000;  // an index the sender never uses

struct Streamed {
  Trace trace;        // the run's frames, then the closing frame
  size_t frames = 0;  // of the run itself
  std::vector<DumpRecord> dump;
  std::set<uint32_t> dumped;
  std::string host_out;
};

class HostE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pellion-e2e-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    source_port_ = FreeUdpPort();
  }
  void UseClip(const std::string& clip) {
    clip_ = clip;
    ASSERT_TRUE(ref_.Load(clip_)) << "no reference for " << clip_;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Every run of a test's sender comes from one port, as one sender would.
  std::vector<std::string> SendCommand(const std::string& trace) const {
    return {
        PELLION_SEND_PATH, ClipPath(clip_).string(),     "--host",  "127.0.0.1", "--port", "9111",
        "--source-port",   std::to_string(source_port_), "--trace", trace};
  }

  // Starts pellion-host, streams the clip to it with `sender_options`, closes the run with one
  // whole key frame, stops the host and reads its dump.
  void Stream(const std::vector<std::string>& sender_options, Streamed* run) {
    ASSERT_TRUE(WaitUntil([] { return !UdpPortBound(9111); }, 5s)) << "UDP 9111 is taken";
    const std::string port = std::to_string(FreeTcpPort());
    const fs::path dump = dir_ / "dump";
    {
      // A picture and its signal that an earlier process left behind: not the host's to show.
      ShareMemVFrame earlier;
      ASSERT_TRUE(earlier.WriteTo(kLeftBehind, 640, 360, std::vector<uint8_t>(640 * 360 * 3 / 2)));
    }
    Child host;
    ASSERT_TRUE(host.Start({PELLION_HOST_PATH, "--module", PELLION_MODULE_PATH, "--headless",
                            "--dump", dump.string(), "--sender-port", port, "--seconds", "120"},
                           dir_ / "host.out", dir_ / "host.err"));
    ASSERT_TRUE(WaitUntil([&] { return UdpPortBound(9111) || !host.Running(); }))
        << "the channel does not listen on 9111";
    ASSERT_TRUE(host.Running()) << ReadText(dir_ / "host.err");

    std::vector<std::string> argv = SendCommand((dir_ / "trace").string());
    argv.insert(argv.end(), {"--request-port", port});
    argv.insert(argv.end(), sender_options.begin(), sender_options.end());
    Child sender;
    ASSERT_TRUE(sender.Start(argv, dir_ / "send.out", dir_ / "send.err"));
    ASSERT_EQ(sender.Wait(60s), 0) << ReadText(dir_ / "send.err");
    run->trace = ReadTrace(dir_ / "trace");
    run->frames = run->trace.frames.size();
    ASSERT_GT(run->frames, 0u);

    // The clip's first units again, a key frame first, under the next indices: once the host
    // has that key frame, it has read all the channel was going to publish of the run (a
    // decoder that holds pictures back lets them out in front of a key picture, and lets the
    // key picture out a few frames later).
    const uint32_t closing = run->trace.frames.back().index + 1;
    argv = SendCommand((dir_ / "closing").string());
    argv.insert(argv.end(),
                {"--request-port", "0", "--frames", "5", "--first-index", std::to_string(closing)});
    Child closer;
    ASSERT_TRUE(closer.Start(argv, dir_ / "closing.out", dir_ / "closing.err"));
    ASSERT_EQ(closer.Wait(30s), 0) << ReadText(dir_ / "closing.err");
    bool closed = WaitUntil([&] {
      std::vector<DumpRecord> d = ReadDump(dump, false);
      return std::any_of(d.begin(), d.end(),
                         [&](const DumpRecord& r) { return r.index == closing; });
    });
    for (const TraceFrame& f : ReadTrace(dir_ / "closing").frames) {
      run->trace.position[f.index] = run->trace.frames.size();
      run->trace.frames.push_back(f);
    }

    host.Signal(SIGINT);
    std::optional<int> code = host.Wait(20s);
    run->host_out = ReadText(dir_ / "host.out");
    ASSERT_TRUE(closed) << "the closing frame never reached the dump\n" << run->host_out;
    ASSERT_EQ(code, 0) << run->host_out << ReadText(dir_ / "host.err");
    run->dump = ReadDump(dump, true);
    for (const DumpRecord& r : run->dump) run->dumped.insert(r.index);
  }

  // Every dumped picture must be the reference of its access unit. The publication record lets
  // the host drop every copy that a new picture overtook, so none is mixed.
  void ExpectExactPictures(const Streamed& run) {
    int identical = 0, torn = 0;
    for (const DumpRecord& r : run.dump) {
      auto at = run.trace.position.find(r.index);
      ASSERT_NE(at, run.trace.position.end()) << "picture " << r.index << " was never sent";
      ASSERT_EQ(r.width, 640);
      ASSERT_EQ(r.height, 360);
      const TraceFrame& f = run.trace.frames[at->second];
      ASSERT_FALSE(ref_.Picture(f.au).empty())
          << "picture " << r.index << " published for access unit " << f.au << ", which has none";
      std::vector<std::span<const uint8_t>> earlier;
      for (size_t p = at->second >= 8 ? at->second - 8 : 0; p < at->second + 8; ++p)
        if (p != at->second && p < run.trace.frames.size() &&
            !ref_.Picture(run.trace.frames[p].au).empty())
          earlier.push_back(ref_.Picture(run.trace.frames[p].au));
      switch (Compare(r.nv12, ref_.Picture(f.au), earlier)) {
        case Verdict::kIdentical:
          ++identical;
          break;
        case Verdict::kTorn:
          ++torn;
          break;
        case Verdict::kDifferent:
          ADD_FAILURE() << "picture " << r.index << " (access unit " << f.au
                        << ") differs from the ffmpeg decode";
      }
    }
    std::printf(
        "%zu frames sent, %zu pictures dumped (%d identical, %d torn unnoticed), %zu "
        "key-frame requests\n",
        run.frames, run.dump.size(), identical, torn, run.trace.requests.size());
    EXPECT_EQ(torn, 0);
  }

  fs::path dir_;
  int source_port_ = 0;
  std::string clip_ = "h264_640x360.h264";
  Reference ref_;
};

// A clip, the way its sender hands out parameter sets, and junk datagrams from a second
// socket after each of its own: junk never costs a picture, nor asks for a key frame.
struct Sent {
  const char* clip;
  const char* parameter_sets;
  int junk = 0;
};
class HostClipE2eTest : public HostE2eTest, public ::testing::WithParamInterface<Sent> {};

TEST_P(HostClipE2eTest, EveryDumpedPictureIsTheReferenceOfItsAccessUnit) {
  ASSERT_NO_FATAL_FAILURE(UseClip(GetParam().clip));
  Streamed run;
  ASSERT_NO_FATAL_FAILURE(Stream({"--fps", "60", "--parameter-sets", GetParam().parameter_sets,
                                  "--junk", std::to_string(GetParam().junk)},
                                 &run));
  ASSERT_NO_FATAL_FAILURE(ExpectExactPictures(run));
  // Every picture of the run, once each: a frame of parameter sets alone has none.
  std::set<uint64_t> pictures, shown;
  for (size_t i = 0; i < run.frames; ++i) {
    const TraceFrame& f = run.trace.frames[i];
    if (ref_.Picture(f.au).empty()) continue;
    if (!pictures.insert(f.au).second) continue;  // the parameter sets' frame names its unit too
    if (run.dumped.count(f.index) == 1) shown.insert(f.au);
  }
  std::printf("%zu of %zu pictures dumped\n", shown.size(), pictures.size());
  // A reader on a busy machine misses some; a channel that drops a picture kind misses most.
  EXPECT_GE(shown.size() * 2, pictures.size()) << "most pictures never reached the dump";
  EXPECT_TRUE(run.trace.requests.empty()) << "a whole stream needs no key-frame request";
  EXPECT_EQ(run.host_out.find("miss codec"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Senders, HostClipE2eTest,
                         ::testing::Values(Sent{"h264_640x360.h264", "inline"},
                                           Sent{"h264_bpyramid_640x360.h264", "inline"},
                                           Sent{"hevc_opengop_640x360.h265", "inline"},
                                           Sent{"h264_bpyramid_640x360.h264", "separate"},
                                           Sent{"hevc_opengop_640x360.h265", "separate"},
                                           Sent{"h264_bpyramid_640x360.h264", "once"},
                                           Sent{"hevc_opengop_640x360.h265", "once"},
                                           Sent{"h264_bpyramid_640x360.h264", "inline", 10},
                                           Sent{"hevc_opengop_640x360.h265", "inline", 10}),
                         [](const auto& info) {
                           std::string clip = info.param.clip;
                           std::string name =
                               clip.find("bpyramid") != std::string::npos  ? "H264BPyramid"
                               : clip.find("opengop") != std::string::npos ? "HevcOpenGop"
                                                                           : "H264";
                           std::string mode = info.param.parameter_sets;
                           mode[0] = static_cast<char>(std::toupper(mode[0]));
                           return name + mode + (info.param.junk > 0 ? "WithJunk" : "");
                         });

class HostLossE2eTest : public HostE2eTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(HostLossE2eTest, UnderLossDuplicationAndReorderingPicturesStayExactAndRecover) {
  ASSERT_NO_FATAL_FAILURE(UseClip(GetParam()));
  Streamed run;
  // The clip's own rate, as a live source sends it; three passes give some ten losses. A jump
  // to the next key frame, as the sender answers a request, makes the leading pictures of an
  // open GOP reference what was skipped: the exact check catches any that is published.
  ASSERT_NO_FATAL_FAILURE(Stream({"--fps", "30", "--loop", "3", "--loss", "0.01", "--dup", "0.01",
                                  "--reorder", "0.01", "--seed", "3"},
                                 &run));
  ASSERT_NO_FATAL_FAILURE(ExpectExactPictures(run));
  const Trace& t = run.trace;
  ASSERT_FALSE(t.requests.empty()) << "no key-frame request reached the sender\n" << run.host_out;

  // The frame sent right after a request line is the sender's answer.
  auto answer = [&](size_t pos) { return pos < run.frames && t.frames[pos].key; };
  bool answer_shown = false;
  for (size_t pos : t.requests)
    answer_shown |= answer(pos) && run.dumped.count(t.frames[pos].index) == 1;
  EXPECT_TRUE(answer_shown) << "no answered key frame was ever shown";

  // After each loss the pictures come back within one key-frame interval. Longer only when
  // the channel kept asking and the answers themselves were hit (the trace cannot tell which).
  size_t gaps = 0;
  for (size_t a = 0; a < run.frames;) {
    if (run.dumped.count(t.frames[a].index) == 1) {
      ++a;
      continue;
    }
    size_t b = a;
    while (b < run.frames && run.dumped.count(t.frames[b].index) == 0) ++b;
    if (b == run.frames) break;  // the sender may run out of key frames to answer with
    ++gaps;
    size_t answers = 0;
    for (size_t pos : t.requests) answers += pos >= a && pos < b && answer(pos);
    EXPECT_TRUE(b - a <= kGop || answers >= 2)
        << "frames " << t.frames[a].index << " to " << t.frames[b - 1].index
        << " never shown, with " << answers << " answered requests among them";
    a = b;
  }
  EXPECT_GT(gaps, 0u) << "the impairments lost nothing";
  EXPECT_GE(run.dumped.size() * 2, run.frames) << "the channel spent most of the run broken";
}

INSTANTIATE_TEST_SUITE_P(Clips, HostLossE2eTest,
                         ::testing::Values("h264_640x360.h264", "h264_bpyramid_640x360.h264",
                                           "hevc_opengop_640x360.h265"),
                         [](const auto& info) {
                           std::string clip = info.param;
                           return clip.find("bpyramid") != std::string::npos  ? "H264BPyramid"
                                  : clip.find("opengop") != std::string::npos ? "HevcOpenGop"
                                                                              : "H264";
                         });

// What the README's main command runs once built: the sender encodes a test pattern, the host
// counts what the plug-in publishes for a few seconds and exits 0 when pictures came.
TEST_F(HostE2eTest, TheDemoShowsPicturesAndExitsZero) {
  ASSERT_TRUE(WaitUntil([] { return !UdpPortBound(9111); }, 5s)) << "UDP 9111 is taken";
  const std::string port = std::to_string(FreeTcpPort());
  Child host, sender;
  ASSERT_TRUE(host.Start({PELLION_HOST_PATH, "--headless", "--seconds", "3", "--sender-port", port},
                         dir_ / "host.out", dir_ / "host.err"));
  ASSERT_TRUE(WaitUntil([&] { return UdpPortBound(9111) || !host.Running(); }));
  ASSERT_TRUE(sender.Start({PELLION_SEND_PATH, "--encode", "--size", "1280x720", "--seconds", "20",
                            "--request-port", port},
                           dir_ / "send.out", dir_ / "send.err"));
  std::optional<int> code = host.Wait(30s);
  sender.Signal(SIGTERM);
  EXPECT_EQ(sender.Wait(10s), 0) << ReadText(dir_ / "send.err");
  std::string out = ReadText(dir_ / "host.out");
  ASSERT_EQ(code, 0) << out << ReadText(dir_ / "host.err");
  EXPECT_NE(out.find("pictures/s"), std::string::npos) << out;
  size_t at = out.rfind("pellion-host: ", out.find(" pictures in "));
  ASSERT_NE(at, std::string::npos) << out;
  int pictures = 0;
  ASSERT_EQ(std::sscanf(out.c_str() + at, "pellion-host: %d pictures in", &pictures), 1) << out;
  EXPECT_GE(pictures, 30) << "some 90 pictures in 3 s at 30 fps";
}

uintmax_t BytesUnder(const fs::path& dir) {
  uintmax_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (it->is_regular_file(ec)) total += it->file_size(ec);
  return total;
}

// Tiny datagrams as fast as loopback takes them, each a complete two-byte frame under a fresh
// index, from a socket the receiver took as its source. The log folder and standard error grow
// by a few KiB, not MiB (some 700 KB before the decoder's lines were limited).
TEST_F(HostE2eTest, AFloodOfTinyDatagramsCannotFillTheDisk) {
  ASSERT_TRUE(WaitUntil([] { return !UdpPortBound(9111); }, 5s)) << "UDP 9111 is taken";
  const fs::path data = dir_ / "data";
  Child host;
  ASSERT_TRUE(host.Start({"/usr/bin/env", "NORV_PROGRAMDATA=" + data.string(), PELLION_HOST_PATH,
                          "--module", PELLION_MODULE_PATH, "--headless", "--seconds", "120",
                          "--sender-port", std::to_string(FreeTcpPort())},
                         dir_ / "host.out", dir_ / "host.err"));
  ASSERT_TRUE(WaitUntil([&] { return UdpPortBound(9111) || !host.Running(); }));
  ASSERT_TRUE(host.Running()) << ReadText(dir_ / "host.err");
  auto grown = [&] { return BytesUnder(data) + fs::file_size(dir_ / "host.err"); };
  // The start-up lines are written by now: the version lines come before the channel listens.
  const uintmax_t before = grown();

  constexpr int kDatagrams = 20000;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9111);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A stream start that names no codec makes the socket the source; then every two-byte frame
  // reaches the decoder, which finds no codec in it.
  for (uint32_t i = 0; i <= kDatagrams; ++i) {
    std::string d = testing_util::Packet(
        i + 1, 0, true, i == 0 ? testing_util::kStartWithoutCodec : std::string("\x65\x88", 2));
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  close(fd);
  // Done when nothing more is written for a second.
  uintmax_t last = grown();
  auto still = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil(
      [&] {
        uintmax_t now = grown();
        if (now != last) {
          last = now;
          still = std::chrono::steady_clock::now();
        }
        return std::chrono::steady_clock::now() - still > 1s;
      },
      60s));
  host.Signal(SIGINT);
  EXPECT_EQ(host.Wait(20s), 1) << "no picture, and no crash\n" << ReadText(dir_ / "host.err");
  const uintmax_t growth = last - before;
  std::printf("%d tiny datagrams: log folder and standard error grew by %ju bytes\n", kDatagrams,
              growth);
  EXPECT_LT(growth, 48u * 1024) << ReadText(dir_ / "host.err");
}

}  // namespace
