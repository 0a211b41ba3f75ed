// Every clip kind through pellion-host, whole and with one break each: joined late, a frame lost,
// the frames in front of a key frame lost, two frames swapped, a frame sent again later. The
// sender never answers key-frame requests, so the channel has only the stream's own recovery
// points to come back at. Each case prints one "matrix:" line; grep them for the table.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "MetaUdpServer.h"
#include "Pellion.h"
#include "ShareMemVFrame.h"
#include "common/wait.h"
#include "e2e_support.h"
#include "elementary_stream.h"
#include "nal_units.h"
#include "pellion/frame_section.h"
#include "read_stats.h"
#include "video_decoder.h"

namespace {

using namespace std::chrono_literals;
using namespace e2e;
using testing_util::WaitUntil;

constexpr uint32_t kLeftBehind = 0x7FFF0000;  // an index the sender never uses

struct Clip {
  const char* file;
  bool intra_refresh = false;  // recovers by refresh waves, with no key frame after the first
};

struct SenderRun {
  std::string clip;
  std::vector<std::string> options;
};

struct SentFrame {
  uint32_t index = 0;
  uint64_t au = 0;
  bool key = false;
  size_t run = 0;  // into the session's runs; the closing run is the last
};

struct Session {
  std::vector<std::string> clips;  // per run, the closing run's included
  std::vector<SentFrame> frames;   // in sending order, over all runs
  std::vector<size_t> run_start;   // position of each run's first frame
  std::vector<DumpRecord> dump;
  std::set<uint32_t> dumped;
  uint64_t missed = 0;  // pictures published that the host's reader never copied
  std::string host_out;
  size_t closing() const { return run_start.back(); }
};

struct Tally {
  size_t exact = 0, wrong = 0;
  std::string wrong_text;  // the first few
};

class MatrixE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    dir_ = fs::temp_directory_path() / ("pellion-matrix-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    source_port_ = FreeUdpPort();
  }
  void TearDown() override { fs::remove_all(dir_); }

  const Reference& ReferenceOf(const std::string& clip) {
    const Reference& r = testing_util::ReferenceOf(clip);
    EXPECT_FALSE(r.units.empty()) << "no reference for " << clip;
    return r;
  }

  // One host; the runs one after another from one source port, each continuing the indices,
  // then the last clip's first frames as a closing run: once its key frame is in the dump, the
  // host has read all the channel was going to publish. The host's sender port has no listener,
  // so each key-frame request fails.
  void Stream(const std::vector<SenderRun>& runs, Session* s) {
    ASSERT_TRUE(WaitUntil([] { return !UdpPortBound(9111); }, 5s)) << "UDP 9111 is taken";
    const fs::path dump = dir_ / "dump";
    {
      // A picture and its signal that an earlier process left behind: not the host's to show.
      ShareMemVFrame earlier;
      ASSERT_TRUE(earlier.WriteTo(kLeftBehind, 320, 240, std::vector<uint8_t>(320 * 240 * 3 / 2)));
    }
    Child host;
    ASSERT_TRUE(host.Start(
        {PELLION_HOST_PATH, "--module", PELLION_MODULE_PATH, "--headless", "--dump", dump.string(),
         "--sender-port", std::to_string(FreeTcpPort()), "--seconds", "120"},
        dir_ / "host.out", dir_ / "host.err"));
    ASSERT_TRUE(WaitUntil([&] { return UdpPortBound(9111) || !host.Running(); }))
        << "the channel does not listen on 9111";
    ASSERT_TRUE(host.Running()) << ReadText(dir_ / "host.err");

    std::vector<SenderRun> all = runs;
    all.push_back({runs.back().clip, {"--frames", "8"}});
    uint32_t next = 1;
    for (size_t i = 0; i < all.size(); ++i) {
      const std::string name = "run" + std::to_string(i);
      std::vector<std::string> argv = {PELLION_SEND_PATH, ClipPath(all[i].clip).string(),
                                       "--host",          "127.0.0.1",
                                       "--port",          "9111",
                                       "--source-port",   std::to_string(source_port_),
                                       "--request-port",  "0",
                                       "--fps",           "120",
                                       "--first-index",   std::to_string(next),
                                       "--trace",         (dir_ / (name + ".trace")).string()};
      argv.insert(argv.end(), all[i].options.begin(), all[i].options.end());
      Child sender;
      ASSERT_TRUE(sender.Start(argv, dir_ / (name + ".out"), dir_ / (name + ".err")));
      ASSERT_EQ(sender.Wait(60s), 0) << ReadText(dir_ / (name + ".err"));
      Trace t = ReadTrace(dir_ / (name + ".trace"));
      ASSERT_FALSE(t.frames.empty()) << name << " sent nothing";
      s->clips.push_back(all[i].clip);
      s->run_start.push_back(s->frames.size());
      uint32_t last = 0;
      for (const TraceFrame& f : t.frames) {
        s->frames.push_back({f.index, f.au, f.key, i});
        last = std::max(last, f.index);
      }
      next = last + 1;
    }
    const uint32_t closing = s->frames[s->closing()].index;
    bool closed = WaitUntil(
        [&] {
          std::vector<DumpRecord> d = ReadDump(dump, false);
          return std::any_of(d.begin(), d.end(),
                             [&](const DumpRecord& r) { return r.index == closing; });
        },
        5s);
    host.Signal(SIGINT);
    std::optional<int> code = host.Wait(20s);
    s->host_out = ReadText(dir_ / "host.out");
    // A channel stuck on the wrong codec publishes nothing more: what it did is still counted.
    EXPECT_TRUE(closed) << "the closing frame never reached the dump\n" << s->host_out;
    ASSERT_TRUE(code.has_value()) << "the host did not stop";
    ASSERT_TRUE(*code == 0 || (!closed && *code == 1))
        << s->host_out << ReadText(dir_ / "host.err");
    s->dump = ReadDump(dump, true);
    for (const DumpRecord& r : s->dump) s->dumped.insert(r.index);
    size_t at = s->host_out.rfind(" pictures missed");
    if (at != std::string::npos) {
      size_t from = s->host_out.rfind(' ', at - 1);
      s->missed = std::stoull(s->host_out.substr(from + 1, at - from - 1));
    }
  }

  // Every dumped picture against the reference of the access unit its index was sent with.
  Tally CheckPictures(const Session& s) {
    std::map<uint32_t, size_t> position;
    for (size_t p = 0; p < s.frames.size(); ++p) position[s.frames[p].index] = p;
    Tally t;
    auto wrong = [&](const DumpRecord& r, const std::string& why) {
      if (++t.wrong <= 5) t.wrong_text += "\n  picture " + std::to_string(r.index) + ": " + why;
    };
    for (const DumpRecord& r : s.dump) {
      auto at = position.find(r.index);
      if (at == position.end()) {
        wrong(r, "never sent");
        continue;
      }
      const SentFrame& f = s.frames[at->second];
      const Reference& ref = ReferenceOf(s.clips[f.run]);
      std::span<const uint8_t> want = ref.Picture(f.au);
      if (want.empty()) {
        wrong(r, "access unit " + std::to_string(f.au) + " has no picture");
        continue;
      }
      int w = 0, h = 0;
      ClipSize(s.clips[f.run], &w, &h);
      if (r.width != w || r.height != h) {
        wrong(r, std::to_string(r.width) + "x" + std::to_string(r.height) + ", not " +
                     std::to_string(w) + "x" + std::to_string(h));
        continue;
      }
      // The host drops the copies a newer picture overtook: a mixed one is as wrong as any.
      if (Compare(r.nv12, want, {}) == Verdict::kIdentical)
        ++t.exact;
      else
        wrong(r, "access unit " + std::to_string(f.au) + " of " + s.clips[f.run] +
                     " differs from the ffmpeg decode");
    }
    return t;
  }

  fs::path dir_;
  int source_port_ = 0;
};

// Where the index sequence of a run breaks: a frame whose index is not one past the highest
// before it (for the run's first frame: the first index it should have had). Frames out of turn
// in a row are one break, as a swap makes. Positions in the session.
std::vector<size_t> Breaks(const Session& s, size_t run) {
  std::vector<size_t> out;
  const size_t begin = s.run_start[run], end = s.run_start[run + 1];
  uint32_t highest = run == 0 ? 0 : s.frames[begin - 1].index;
  for (size_t p = begin; p < end; ++p) {
    if (s.frames[p].index != highest + 1 && (out.empty() || out.back() + 1 != p)) out.push_back(p);
    highest = std::max(highest, s.frames[p].index);
  }
  return out;
}

// How soon pictures came back after a break at `at`: the first frame from `at` on whose index
// had not been sent before the break and was dumped. SIZE_MAX: not before the closing run.
size_t FirstShownAfter(const Session& s, size_t at) {
  std::set<uint32_t> before;
  for (size_t p = 0; p < at; ++p) before.insert(s.frames[p].index);
  for (size_t p = at; p < s.closing(); ++p)
    if (before.count(s.frames[p].index) == 0 && s.dumped.count(s.frames[p].index) == 1) return p;
  return SIZE_MAX;
}

// Per access unit of an intra-refresh clip: the unit whose picture is whole again after a
// break there, by the first recovery point at or after it (its frame_num plus its
// recovery_frame_cnt, counted in frame_num). SIZE_MAX past the clip's last.
std::vector<size_t> RefreshRecoveryUnits(const std::string& clip) {
  const std::vector<uint8_t> bytes = pellion_tools::ReadWholeFile(ClipPath(clip).string());
  const auto units = pellion_tools::SplitAccessUnits(pellion_tools::Codec::kH264, bytes).units;
  StreamSyntax syntax;
  std::vector<FrameFacts> facts;
  for (const auto& u : units)
    facts.push_back(syntax.Describe(AV_CODEC_ID_H264, std::span(bytes).subspan(u.offset, u.size)));
  std::vector<size_t> out(units.size(), SIZE_MAX);
  size_t recovered = SIZE_MAX;
  for (size_t i = units.size(); i-- > 0;) {
    const FrameFacts& f = facts[i];
    if (f.recovery == RecoveryKind::kRefresh) {
      const uint32_t target = (*f.frame_num + f.recovery_frames) % f.max_frame_num;
      recovered = SIZE_MAX;
      for (size_t j = i; j < units.size() && recovered == SIZE_MAX; ++j)
        if (facts[j].frame_num == target) recovered = j;
    }
    out[i] = recovered;
  }
  return out;
}

// The latest place in the session where pictures may come back after the break at `at`: the
// first key frame from there on; for intra refresh, the recovery picture of the first refresh
// point from there on. The closing run's key frame when the run has none left.
size_t RecoveryBound(const Session& s, size_t at, bool intra_refresh) {
  if (intra_refresh) {
    const size_t clean = RefreshRecoveryUnits(s.clips[s.frames[at].run])[s.frames[at].au];
    for (size_t p = at; p < s.closing(); ++p)
      if (s.frames[p].run == s.frames[at].run && s.frames[p].au >= clean) return p;
    return s.closing();
  }
  for (size_t p = at; p < s.closing(); ++p)
    if (s.frames[p].key) return p;
  return s.closing();
}

enum class Mode { kWhole, kJoinLate, kLoseOne, kLoseBeforeKey, kSwap, kResendLater };

const char* ModeName(Mode m) {
  switch (m) {
    case Mode::kWhole:
      return "Whole";
    case Mode::kJoinLate:
      return "JoinLate";
    case Mode::kLoseOne:
      return "LoseOne";
    case Mode::kLoseBeforeKey:
      return "LoseBeforeKey";
    case Mode::kSwap:
      return "Swap";
    case Mode::kResendLater:
      return "ResendLater";
  }
  return "?";
}

// Every break in the first GOP (or in front of the second key frame), so that each clip, 60 or
// 90 frames long, still has a key frame or a whole refresh wave after it.
std::vector<std::string> SenderOptions(const Clip& clip, Mode m) {
  switch (m) {
    case Mode::kWhole:
      return {};
    case Mode::kJoinLate:
      return {"--skip", "15"};
    case Mode::kLoseOne:
      return {"--drop", "10"};
    case Mode::kLoseBeforeKey:
      // Intra refresh has no second key frame: the frames in front of the second wave instead
      // (its recovery point is at unit 29 or 30).
      if (clip.intra_refresh) return {"--drop", "26-28"};
      return {"--drop-before-key", "3"};
    case Mode::kSwap:
      return {"--swap", "12"};
    case Mode::kResendLater:
      return {"--resend", "10:12"};
  }
  return {};
}

std::string ShortName(const std::string& file) {
  std::string out;
  bool up = true;
  for (char c : file.substr(0, file.find('.'))) {
    if (c == '_') {
      up = true;
      continue;
    }
    out += up ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    up = false;
  }
  return out;
}

class StreamMatrixE2eTest : public MatrixE2eTest,
                            public ::testing::WithParamInterface<std::tuple<Clip, Mode>> {};

TEST_P(StreamMatrixE2eTest, PicturesAreExactAndComeBackAtTheFirstRecoveryPoint) {
  const Clip clip = std::get<0>(GetParam());
  const Mode mode = std::get<1>(GetParam());
  Session s;
  ASSERT_NO_FATAL_FAILURE(Stream({{clip.file, SenderOptions(clip, mode)}}, &s));
  const Tally t = CheckPictures(s);

  size_t published = 0;
  for (size_t p = 0; p < s.closing(); ++p) published += s.dumped.count(s.frames[p].index);
  std::vector<size_t> breaks = Breaks(s, 0);
  std::string back;
  for (size_t at : breaks) {
    const size_t shown = FirstShownAfter(s, at);
    const size_t bound = RecoveryBound(s, at, clip.intra_refresh);
    back += (back.empty() ? "" : ",") +
            (shown == SIZE_MAX ? std::string("never") : std::to_string(shown - at)) + "/" +
            std::to_string(bound - at);
    EXPECT_LE(shown, bound) << "after the break at frame " << s.frames[at].index << " (unit "
                            << s.frames[at].au << "), no picture before frame "
                            << (shown == SIZE_MAX ? s.frames[s.closing()].index
                                                  : s.frames[shown].index)
                            << "; the first recovery point was frame "
                            << s.frames[std::min(bound, s.closing())].index;
  }
  std::printf(
      "matrix: %-34s %-13s sent %3zu published %3zu exact %3zu wrong %3zu missed %2llu "
      "back/bound %s\n",
      clip.file, ModeName(mode), s.closing(), published, t.exact, t.wrong,
      static_cast<unsigned long long>(s.missed), breaks.empty() ? "-" : back.c_str());
  EXPECT_EQ(t.wrong, 0u) << t.wrong_text;
  if (mode == Mode::kWhole) {
    EXPECT_TRUE(breaks.empty());
    // What the reader missed was published all the same.
    std::string absent;
    for (size_t p = 0; p < s.closing(); ++p)
      if (s.dumped.count(s.frames[p].index) == 0) absent += " " + std::to_string(s.frames[p].index);
    EXPECT_GE(published + s.missed, s.closing())
        << "pictures of a whole stream never published:" << absent;
  } else {
    EXPECT_FALSE(breaks.empty()) << "the sender's options broke nothing";
  }
}

constexpr Clip kClips[] = {
    {"h264_640x360.h264"},
    {"h264_bpyramid_640x360.h264"},
    {"hevc_640x360.h265"},
    {"hevc_opengop_640x360.h265"},
    {"h264_opengop_320x240.h264"},
    {"h264_intrarefresh_320x240.h264", true},
    {"gst_openh264_320x240.h264"},
    {"gst_x264_320x240.h264"},
    {"gst_x264_intrarefresh_320x240.h264", true},
    {"gst_x265_320x240.h265"},
};

INSTANTIATE_TEST_SUITE_P(Clips, StreamMatrixE2eTest,
                         ::testing::Combine(::testing::ValuesIn(kClips),
                                            ::testing::Values(Mode::kWhole, Mode::kJoinLate,
                                                              Mode::kLoseOne, Mode::kLoseBeforeKey,
                                                              Mode::kSwap, Mode::kResendLater)),
                         [](const auto& info) {
                           return ShortName(std::get<0>(info.param).file) +
                                  ModeName(std::get<1>(info.param));
                         });

// One sender switching codec in one host run: the second clip continues the indices from the
// same port. Its pictures must come from its first key frame on, and none be wrong.
using Switch = std::tuple<const char*, const char*>;
class CodecSwitchE2eTest : public MatrixE2eTest, public ::testing::WithParamInterface<Switch> {};

TEST_P(CodecSwitchE2eTest, TheSecondCodecIsBackAtItsFirstKeyFrame) {
  const std::string first = std::get<0>(GetParam()), second = std::get<1>(GetParam());
  Session s;
  ASSERT_NO_FATAL_FAILURE(Stream({{first, {}}, {second, {}}}, &s));
  const Tally t = CheckPictures(s);
  const size_t at = s.run_start[1];
  const size_t shown = FirstShownAfter(s, at);
  const size_t bound = RecoveryBound(s, at, false);
  size_t published[2] = {0, 0};
  for (size_t p = 0; p < s.closing(); ++p)
    published[s.frames[p].run] += s.dumped.count(s.frames[p].index);
  std::printf(
      "matrix: %s -> %s sent %zu+%zu published %zu+%zu exact %zu wrong %zu missed %llu "
      "back/bound %s/%zu\n",
      first.c_str(), second.c_str(), at, s.closing() - at, published[0], published[1], t.exact,
      t.wrong, static_cast<unsigned long long>(s.missed),
      shown == SIZE_MAX ? "never" : std::to_string(shown - at).c_str(), bound - at);
  EXPECT_EQ(t.wrong, 0u) << t.wrong_text;
  EXPECT_LE(shown, bound) << "the second codec's first key frame was never shown";
  EXPECT_GE(published[0] + published[1] + s.missed, s.closing())
      << "two whole streams, every picture published";
}

// Both ways between the codecs, across encoders and GOP kinds.
const Switch kSwitches[] = {{"gst_x265_320x240.h265", "gst_openh264_320x240.h264"},
                            {"gst_x264_320x240.h264", "gst_x265_320x240.h265"},
                            {"hevc_640x360.h265", "h264_opengop_320x240.h264"},
                            {"h264_bpyramid_640x360.h264", "hevc_opengop_640x360.h265"}};

std::string SwitchName(const ::testing::TestParamInfo<Switch>& info) {
  return ShortName(std::get<0>(info.param)) + "To" + ShortName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Pairs, CodecSwitchE2eTest, ::testing::ValuesIn(kSwitches), SwitchName);

// The same switch across a restart of the channel in this process: the second clip comes after
// StopChan and StartChan, under the next indices. What the first codec's decoder held must not
// come out, and the second codec's pictures must come from its first key frame on.
class RefusingSender : public ITcpOper {
 public:
  int32_t SendMsg(uint32_t, const void*, uint32_t) override { return -1; }
};

class RestartSwitchE2eTest : public ::testing::TestWithParam<Switch> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pellion-matrix-restart-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    reset_video_decoder();  // the process has one decoder: an earlier test's codec must go
  }
  void TearDown() override {
    fs::remove_all(dir_);
    reset_video_decoder();
  }
  fs::path dir_;
};

TEST_P(RestartSwitchE2eTest, TheSecondCodecIsBackAtItsFirstKeyFrameAfterARestart) {
  const std::string clips[2] = {std::get<0>(GetParam()), std::get<1>(GetParam())};
  const Reference* refs[2] = {&testing_util::ReferenceOf(clips[0]),
                              &testing_util::ReferenceOf(clips[1])};
  int sizes[2][2];
  for (int i = 0; i < 2; ++i)
    ASSERT_TRUE(ClipSize(clips[i], &sizes[i][0], &sizes[i][1]) && !refs[i]->units.empty())
        << "no reference for " << clips[i];
  ASSERT_TRUE(WaitUntil([] { return !UdpPortBound(Pellion::kStreamPort); }, 5s));
  Pellion channel;
  RefusingSender refusing;
  channel.SetTcpOper(&refusing);
  pellion::FrameReader reader;
  ASSERT_TRUE(reader.Open());
  while (reader.Wait(0)) {
  }  // a signal left over from an earlier run

  struct Got {
    pellion::FrameHeader header;
    std::vector<uint8_t> nv12;
  };
  std::vector<Got> got;
  pellion_tools::ReadStats stats;
  auto read_while = [&](const std::function<bool()>& more, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (more() && std::chrono::steady_clock::now() < deadline) {
      if (!reader.Wait(20)) continue;
      Got g;
      pellion::FramePublication info;
      if (stats.Count(reader.ReadWhole(&g.header, &g.nv12, &info), info))
        got.push_back(std::move(g));
    }
  };
  const std::string source_port = std::to_string(FreeUdpPort());
  uint32_t next = 1;
  std::vector<Trace> traces;
  auto send = [&](const std::string& clip, const std::vector<std::string>& options) {
    const std::string name = "run" + std::to_string(traces.size());
    std::vector<std::string> argv = {PELLION_SEND_PATH, ClipPath(clip).string(),
                                     "--host",          "127.0.0.1",
                                     "--port",          "9111",
                                     "--source-port",   source_port,
                                     "--request-port",  "0",
                                     "--fps",           "120",
                                     "--first-index",   std::to_string(next),
                                     "--trace",         (dir_ / (name + ".trace")).string()};
    argv.insert(argv.end(), options.begin(), options.end());
    Child sender;
    ASSERT_TRUE(sender.Start(argv, dir_ / (name + ".out"), dir_ / (name + ".err")));
    std::optional<int> code;
    read_while([&] { return !(code = sender.Wait(0ms)).has_value(); }, 30s);
    ASSERT_EQ(code, 0) << ReadText(dir_ / (name + ".err"));
    traces.push_back(ReadTrace(dir_ / (name + ".trace")));
    ASSERT_FALSE(traces.back().frames.empty());
    for (const TraceFrame& f : traces.back().frames) next = std::max(next, f.index + 1);
  };
  auto listening = [] {
    auto receiver = MetaUdpServer::GetInstance();
    return receiver->running() && receiver->listen_port() == Pellion::kStreamPort;
  };

  ASSERT_EQ(channel.StartChan(), 1);
  ASSERT_TRUE(WaitUntil(listening));
  ASSERT_NO_FATAL_FAILURE(send(clips[0], {}));
  read_while([] { return true; }, 0s);
  channel.StopChan();
  const size_t before_restart = got.size();
  ASSERT_TRUE(WaitUntil([] { return !UdpPortBound(Pellion::kStreamPort); }, 5s));
  ASSERT_EQ(channel.StartChan(), 1);
  ASSERT_TRUE(WaitUntil(listening));
  ASSERT_NO_FATAL_FAILURE(send(clips[1], {}));
  const uint32_t closing = next;
  ASSERT_NO_FATAL_FAILURE(send(clips[1], {"--frames", "8"}));
  read_while(
      [&] {
        return std::none_of(got.begin(), got.end(),
                            [&](const Got& g) { return g.header.frame_index == closing; });
      },
      10s);
  channel.StopChan();
  channel.SetTcpOper(nullptr);

  // Which run and access unit each index was sent as.
  std::map<uint32_t, std::pair<int, uint64_t>> sent;
  for (size_t r = 0; r < traces.size(); ++r)
    for (const TraceFrame& f : traces[r].frames) sent[f.index] = {r == 0 ? 0 : 1, f.au};
  size_t exact = 0, wrong = 0, crossed = 0;
  uint32_t first_second = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const Got& g = got[i];
    auto at = sent.find(g.header.frame_index);
    ASSERT_NE(at, sent.end()) << "picture " << g.header.frame_index << " was never sent";
    const int run = at->second.first;
    if (i >= before_restart && run == 0) {
      ++crossed;
      continue;
    }
    if (run == 1 && first_second == 0) first_second = g.header.frame_index;
    std::span<const uint8_t> want = refs[run]->Picture(at->second.second);
    if (g.header.width == sizes[run][0] && g.header.height == sizes[run][1] && !want.empty() &&
        Compare(g.nv12, want, {}) == Verdict::kIdentical) {
      ++exact;
    } else {
      ++wrong;
      ADD_FAILURE() << "picture " << g.header.frame_index << " (unit " << at->second.second
                    << " of " << clips[run] << ") differs from the ffmpeg decode";
    }
  }
  const uint32_t first_key = traces[1].frames.front().index;
  std::printf(
      "matrix: %s -> %s across a restart: read %zu+%zu exact %zu wrong %zu missed %llu "
      "first of the second %u, its first key %u\n",
      clips[0].c_str(), clips[1].c_str(), before_restart, got.size() - before_restart, exact, wrong,
      static_cast<unsigned long long>(stats.missed()), first_second, first_key);
  EXPECT_EQ(crossed, 0u) << "pictures of the first run came out after the restart";
  ASSERT_NE(first_second, 0u) << "nothing of the second codec was published";
  // A reader that missed pictures cannot tell which came first.
  if (stats.missed() == 0) {
    EXPECT_EQ(first_second, first_key) << "the second codec's first key frame was not published";
  }
}

// And one codec across a restart: a B-pyramid decoder holds pictures back at the first run's end.
INSTANTIATE_TEST_SUITE_P(Pairs, RestartSwitchE2eTest, ::testing::ValuesIn(kSwitches), SwitchName);
INSTANTIATE_TEST_SUITE_P(SameCodec, RestartSwitchE2eTest,
                         ::testing::Values(Switch{"h264_bpyramid_640x360.h264",
                                                  "h264_bpyramid_640x360.h264"}),
                         SwitchName);

}  // namespace
