// pellion-send as a process, against a plain UDP receiver on loopback: packet layout, byte-exact
// reassembly of every clip, trace, numbering, pacing, impairments, signals, bad input, key-frame
// requests over TCP, the built-in encoders and the ways of handing out parameter sets.
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "pellion/keyframe_link.h"
#include "send/packetizer.h"
#include "send_harness.h"

namespace {

using namespace send_test;

// ---- Every clip, unimpaired ----------------------------------------------------------------

class ClipTest : public SendTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClipTest, PacketsAreWellFormedAndRebuildTheFileExactly) {
  const size_t payload = 1000;
  Bytes file = ReadBytes(Clip(GetParam()));
  ASSERT_FALSE(file.empty()) << "clip missing: " << GetParam();
  int64_t before = MonotonicUs();
  Result r = Send(Quick({Clip(GetParam()), "--payload", std::to_string(payload)}));
  int64_t after = MonotonicUs();
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_FALSE(frames.empty());
  ExpectIndicesFrom(frames, 1);
  for (const Frame& f : frames) {
    // The cuts themselves are the packetizer's, tested directly; here --payload reaches it.
    EXPECT_EQ(f.packets.size(), pellion_send::PacketCount(f.data.size(), payload)) << f.idx;
    // The encoders open every access unit with a zero byte and a start code; a frame cut one
    // byte off leaves that zero at the end of the frame before.
    EXPECT_TRUE(LongStartCode(f.data)) << "frame " << f.idx;
  }
  EXPECT_TRUE(Concat(frames) == file) << "the frames together differ from " << GetParam();
  ASSERT_EQ(r.trace.size(), frames.size());
  int64_t prev = before;
  for (size_t i = 0; i < r.trace.size(); ++i) {
    const TraceLine& t = r.trace[i];
    EXPECT_EQ(t.frameidx, i + 1);
    EXPECT_EQ(t.au, i);
    EXPECT_EQ(t.key, i % 30 == 0 ? 1 : 0) << "access unit " << i << " (clips use -g 30)";
    EXPECT_GE(t.us, prev) << "monotonic microseconds, in frame order";
    EXPECT_LE(t.us, after);
    prev = t.us;
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, ClipTest,
                         ::testing::Values("h264_640x360.h264", "h264_1920x1080.h264",
                                           "h264_642x362.h264", "h264_bframes_640x360.h264",
                                           "hevc_640x360.h265", "hevc_3840x2160.h265"),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '.', '_');
                           return n;
                         });

// ---- Numbering, pacing, impairments, stopping ----------------------------------------------

TEST_F(SendTest, LoopsKeepNumbering) {
  Bytes file = ReadBytes(Clip("h264_640x360.h264")), twice = file;
  twice.insert(twice.end(), file.begin(), file.end());
  Result r = Send(Quick({Clip("h264_640x360.h264"), "--loop", "2"}));
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 120u);
  ExpectIndicesFrom(frames, 1);
  EXPECT_TRUE(Concat(frames) == twice);
  ASSERT_EQ(r.trace.size(), 120u);
  EXPECT_EQ(r.trace[59].au, 59u);
  EXPECT_EQ(r.trace[60].au, 0u) << "access units count from 0 again in each pass";
  EXPECT_EQ(r.trace[60].key, 1);
}

// Only lower bounds: a frame sent before its time is the fault, a slow machine is not.
TEST_F(SendTest, PacesAtTheStreamRateOrTheGivenOne) {
  const int64_t slack = 20000;  // a loaded machine may send one frame early after a late one
  // The clips carry 30 fps; H.264 timing counts fields, so a misread gives 60.
  for (const char* clip : {"h264_640x360.h264", "hevc_640x360.h265"}) {
    Result r = Send({Clip(clip), "--frames", "10"});
    EXPECT_NE(r.err.find("30 fps (from the stream)"), std::string::npos) << r.err;
    ASSERT_EQ(r.trace.size(), 10u);
    EXPECT_GE(r.trace.back().us - r.trace.front().us, 9 * 33333 - slack) << clip;
  }
  Result r = Send({Clip("h264_640x360.h264"), "--fps", "100", "--frames", "40"});
  ASSERT_EQ(r.trace.size(), 40u);
  for (size_t i = 1; i < r.trace.size(); ++i)
    EXPECT_GE(r.trace[i].us - r.trace[0].us, static_cast<int64_t>(i) * 10000 - slack)
        << "frame " << i << " before its time";
}

// The impairer's statistics are tested directly; here its place in the process: the counts in
// the summary, every frame traced, and nothing altered on the way.
TEST_F(SendTest, ImpairedRunsCountTraceAndKeepTheData) {
  const std::string clip = Clip("h264_640x360.h264");
  Result all = Send(Quick({clip, "--payload", "500"}));
  Result lossy = Send(Quick({clip, "--payload", "500", "--loss", "0.1", "--seed", "7"}));
  const size_t lost = all.packets.size() - lossy.packets.size();
  EXPECT_GT(lost, 0u);
  EXPECT_NE(lossy.err.find("dropped " + std::to_string(lost) + ","), std::string::npos)
      << lossy.err;
  EXPECT_EQ(lossy.trace.size(), 60u) << "frames with lost packets are still traced";

  Result r =
      Send(Quick({clip, "--payload", "500", "--dup", "0.1", "--reorder", "0.1", "--seed", "3"}));
  std::map<std::pair<uint32_t, uint16_t>, Bytes> unique;
  size_t out_of_order = 0;
  for (size_t i = 0; i < r.packets.size(); ++i) {
    const StreamPacketHeader& h = r.packets[i].h;
    unique[{h.frameidx, h.pkgindx}] = r.packets[i].payload;
    if (i > 0 && std::tie(h.frameidx, h.pkgindx) <
                     std::tie(r.packets[i - 1].h.frameidx, r.packets[i - 1].h.pkgindx))
      ++out_of_order;
  }
  EXPECT_GT(r.packets.size(), unique.size()) << "some arrive twice";
  EXPECT_GT(out_of_order, 0u);
  Bytes joined;
  for (auto& [id, payload] : unique) joined.insert(joined.end(), payload.begin(), payload.end());
  EXPECT_TRUE(joined == ReadBytes(clip)) << "nothing lost or altered, held-back ones included";
  EXPECT_EQ(r.trace.size(), 60u);
  // Held back without end, every datagram waits for the end of the source, and still goes.
  r = Send(Quick({clip, "--reorder", "1", "--frames", "5"}));
  EXPECT_EQ(GroupFrames(r.packets).size(), 5u);
  EXPECT_EQ(r.trace.size(), 5u);
}

TEST_F(SendTest, SigintStopsCleanlyWithSummaryAndTrace) {
  bool signalled = false;
  Result r = Send({Clip("h264_640x360.h264"), "--loop", "0", "--fps", "60"},
                  [&](platform::Process& sender, const Result& so_far) {
                    // After the first progress line, which comes once a second.
                    if (!signalled && so_far.err.find("frames,") != std::string::npos)
                      signalled = sender.Signal(SIGINT);
                  });
  ASSERT_TRUE(signalled);
  EXPECT_NE(r.err.find("done: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("; stopped by a signal"), std::string::npos) << r.err;
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_GT(frames.size(), 30u);
  EXPECT_EQ(r.trace.size(), frames.size()) << "every frame sent is in the flushed trace";
  EXPECT_TRUE(frames.back().packets.back().h.is_final) << "no frame is cut short";
}

// Golden.pellion-send holds the exact texts of the usage errors for no source, a bad --loss and
// a file with --encode.
TEST_F(SendTest, BadInputFailsWithAMessageAndSendsNothing) {
  std::ofstream(dir_ / "notes.h264") << "just some text, no video here\n";
  std::ofstream(dir_ / "empty.h265");
  fs::copy_file(Clip("h264_640x360.h264"), dir_ / "clip.bin");
  const std::string clip = Clip("h264_640x360.h264"), d = dir_.string() + "/";
  UniqueFd taken;  // a request port in use
  std::string taken_port = std::to_string(Bind(SOCK_STREAM, &taken));
  ASSERT_EQ(listen(taken.get(), 1), 0);
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {{d + "missing.h264"}, 1, "missing.h264"},
           {{d + "notes.h264"}, 1, "not an H.264"},
           {{d + "empty.h265"}, 1, "empty"},
           {{Clip("hevc_640x360.h265"), "--codec", "h264"}, 1, "not an H.264"},
           {{clip, "--codec", "hevc"}, 1, "not an H.265"},
           {{d + "clip.bin"}, 2, "--codec"},
           {{d, "--codec", "h264"}, 1, "cannot read"},
           {{clip, "--loss", "nan"}, 2, "--loss"},
           {{clip, "--payload", "16376"}, 2, "--payload"},
           {{clip, "--payload", "2"}, 2, "--payload"},
           {{clip, "--first-index", "0"}, 2, "--first-index"},
           {{clip, "--first-index", "4294967296"}, 2, "--first-index"},
           {{clip, "--fast", "--fps", "25"}, 2, "--fps"},
           {{clip, "--codec", "vp9"}, 2, "--codec"},
           {{clip, "--frames", "-1"}, 2, "--frames"},
           {{clip, "--drop", "5-2"}, 2, "--drop"},
           {{clip, "--drop", "3,,4"}, 2, "--drop"},
           {{clip, "--resend", "3:0"}, 2, "--resend"},
           {{clip, "--resend", "3"}, 2, "--resend"},
           {{Clip("h264_1920x1080.h264"), "--drop-before-key", "1"}, 2, "second key frame"},
           {{Clip("hevc_3840x2160.h265"), "--payload", "3"}, 1, "--payload"},
           {{clip, "--request-port", taken_port}, 1, "cannot listen"},
           {{clip, "--request-port", "65536"}, 2, "--request-port"},
           {{clip, "--size", "320x240"}, 2, "--encode"},
           {{"--encode", "--size", "321x240"}, 2, "--size"},
           {{"--encode", "--size", "320"}, 2, "--size"},
           {{"--encode", "--gop", "0"}, 2, "--gop"},
           {{"--encode", "--loop", "2"}, 2, "--loop"},
           {{"--encode", "--frames", "5", "--seconds", "1"}, 2, "--seconds"},
           {{clip, "--parameter-sets", "twice"}, 2, "--parameter-sets"},
       }) {
    Result r = Send(c.args, nullptr, c.code);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(r.packets.empty()) << c.message;
  }
  // .bin is fine once the codec is named.
  Result r = Send({d + "clip.bin", "--codec", "h264", "--fast", "--frames", "1"});
  EXPECT_FALSE(r.packets.empty());
}

// ---- Key-frame requests --------------------------------------------------------------------

// A silent peer must not hold up one that asks, nor a broken one, which is dropped, the others.
TEST_F(SendTest, RequestsJumpToTheNextKeyUnitCoalesceAndOutliveABrokenPeer) {
  const std::string clip = Clip("h264_640x360.h264");
  const Bytes file = ReadBytes(clip);
  const auto units = pellion_tools::SplitAccessUnits(Codec::kH264, file).units;
  ASSERT_EQ(units.size(), 60u);
  int port = FreeTcpPort();
  UniqueFd idle, busy, bad;
  uint32_t second_at = 0;
  bool bad_closed = false, stopped = false;
  const std::string unknown = pellion::EncodeLinkMessage(7, "abc", 3);
  Result r =
      Send({clip, "--fps", "200", "--loop", "0", "--request-port", std::to_string(port)},
           [&](platform::Process& sender, const Result& so_far) {
             uint32_t got = FramesSoFar(so_far);
             if (!idle.valid() && got >= 5) {
               Connect(port, &idle);
               Connect(port, &bad);
               Connect(port, &busy);
               SendAll(bad, pellion::EncodeLinkMessage(0, nullptr, pellion::kMaxLinkBody + 1));
               SendAll(busy, kRequest + unknown + kRequest + kRequest);
             } else if (!bad_closed) {
               bad_closed = idle.valid() && ClosedByPeer(bad);
             } else if (second_at == 0 && got >= 70) {
               SendAll(idle, kRequest);
               second_at = got;
             } else if (second_at != 0 && !stopped && got >= second_at + 20) {
               stopped = sender.Signal(SIGINT);
             }
           });
  ASSERT_TRUE(bad_closed) << "the broken peer stayed connected: " << r.err;
  ASSERT_TRUE(stopped);
  ASSERT_EQ(r.requests.size(), 4u) << "neither a broken header nor an unknown code is one";
  EXPECT_EQ(r.requests[0], r.requests[2]) << "one batch of three requests";
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), r.trace.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    const TraceLine& t = r.trace[i];
    ASSERT_EQ(t.frameidx, i + 1) << "numbering goes on across jumps";
    ASSERT_LT(t.au, units.size());
    EXPECT_TRUE(Unit(file, units[t.au]) == frames[i].data)
        << "frame " << t.frameidx << " is not access unit " << t.au;
    EXPECT_EQ(t.key, units[t.au].key ? 1 : 0);
  }
  auto next_key = [&](uint64_t au) -> uint64_t {
    for (uint64_t k = au + 1; k < units.size(); ++k)
      if (units[k].key) return k;
    return 0;  // wraps around into the next pass
  };
  for (size_t at : {r.requests[0], r.requests[3]}) {
    ASSERT_GT(at, 0u);
    ASSERT_LT(at + 1, r.trace.size());
    EXPECT_EQ(r.trace[at].au, next_key(r.trace[at - 1].au)) << "after frame " << at;
    EXPECT_EQ(r.trace[at + 1].au, r.trace[at].au + 1) << "coalesced requests jump once";
  }
  EXPECT_NE(r.err.find("disconnected"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("key-frame requests 4, unknown messages 1"), std::string::npos) << r.err;
}

// ---- The built-in encoder ------------------------------------------------------------------

TEST_F(SendTest, EncodesADecodableMovingPattern) {
  Result r = Send(Quick({"--encode", "--frames", "40", "--size", "320x240"}));
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 40u);
  ASSERT_EQ(r.trace.size(), 40u);
  ExpectIndicesFrom(frames, 1);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(r.trace[i].au, i);
    EXPECT_EQ(r.trace[i].key, i == 0 ? 1 : 0) << "one key frame in a GOP of 60, frame " << i;
    EXPECT_EQ(HasKeyPicture(Codec::kH264, frames[i].data), i == 0) << "frame " << i;
    // Four slices whatever the cores; x264 allows three in 15 macroblock rows.
    int slices = 0;
    pellion_tools::ForEachNal(Codec::kH264, frames[i].data,
                              [&](int t) { slices += t == 1 || t == 5; });
    EXPECT_EQ(slices, 3) << "frame " << i;
  }
  Decoded d = Decode(Codec::kH264, frames);
  EXPECT_EQ(d.errors, 0);
  ASSERT_EQ(d.luma_hashes.size(), 40u) << "one picture per frame, none held back";
  EXPECT_EQ(d.width, 320);
  EXPECT_EQ(d.height, 240);
  for (size_t i = 1; i < d.luma_hashes.size(); ++i)
    EXPECT_NE(d.luma_hashes[i], d.luma_hashes[i - 1]) << "picture " << i << " repeats";
}

// Which frames hold a key picture, and which only parameter sets; the trace marks exactly the
// former. With separate sets no other frame holds any, and each key frame comes right after
// the frame of its sets, from the same access unit.
struct Layout {
  std::vector<size_t> keys, set_frames;
};
Layout LayoutOf(Codec c, const Result& r, const std::vector<Frame>& frames, bool separate) {
  Layout l;
  for (size_t i = 0; i < frames.size(); ++i) {
    const Bytes& d = frames[i].data;
    const bool key = HasKeyPicture(c, d), sets_only = OnlyParameterSets(c, d);
    EXPECT_EQ(r.trace[i].key, key ? 1 : 0) << "frame " << frames[i].idx;
    if (key) l.keys.push_back(i);
    if (sets_only) l.set_frames.push_back(i);
    if (separate && !sets_only) {
      EXPECT_TRUE(ParameterSets(c, d).empty()) << "frame " << frames[i].idx << " keeps sets";
    }
  }
  if (!separate) return l;
  EXPECT_EQ(l.set_frames.size(), l.keys.size());
  for (size_t k = 0; k < std::min(l.keys.size(), l.set_frames.size()); ++k) {
    EXPECT_EQ(l.set_frames[k] + 1, l.keys[k]) << "key frame " << frames[l.keys[k]].idx;
    EXPECT_EQ(r.trace[l.set_frames[k]].au, r.trace[l.keys[k]].au) << "from one access unit";
  }
  return l;
}

struct Answer {
  const char* codec;
  const char* parameter_sets;
};
class EncoderRequestTest : public SendTest, public ::testing::WithParamInterface<Answer> {};

// The answer is an IDR (IRAP) picture soon after the request, and with separate parameter sets
// it comes right after a frame of its sets: a receiver joining there decodes from there.
TEST_P(EncoderRequestTest, AnswersWithAKeyFrameADecoderCanStartFrom) {
  const Codec c = std::string(GetParam().codec) == "h264" ? Codec::kH264 : Codec::kHevc;
  const bool separate = std::string(GetParam().parameter_sets) == "separate";
  AskOnceThenStop ask;
  Result r =
      Send({"--encode", "--codec", GetParam().codec, "--size", "320x240", "--fps", "100", "--gop",
            "1000", "--parameter-sets", GetParam().parameter_sets, "--request-port",
            std::to_string(ask.port)},
           [&](platform::Process& sender, const Result& so_far) { ask.OnTick(sender, so_far); });
  ASSERT_TRUE(ask.stopped);
  ASSERT_EQ(r.requests.size(), 1u);
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), r.trace.size());
  ExpectIndicesFrom(frames, 1);
  const Layout l = LayoutOf(c, r, frames, separate);
  const std::vector<size_t>& keys = l.keys;
  ASSERT_EQ(keys.size(), 2u) << "the first frame's and the answer";
  EXPECT_EQ(l.set_frames.size(), separate ? 2u : 0u);
  const size_t pictures = frames.size() - l.set_frames.size();
  EXPECT_GE(keys[1], r.requests[0]);
  EXPECT_LT(keys[1], r.requests[0] + (separate ? 3 : 2)) << "answered within two frames";
  ExpectDecodes(c, frames, pictures);
  const size_t join = separate ? keys[1] - 1 : keys[1];
  ExpectDecodes(c, frames, frames.size() - keys[1], join);
}

INSTANTIATE_TEST_SUITE_P(Codecs, EncoderRequestTest,
                         ::testing::Values(Answer{"h264", "inline"}, Answer{"h264", "separate"},
                                           Answer{"hevc", "separate"}),
                         [](const auto& info) {
                           return std::string(info.param.codec) + "_" + info.param.parameter_sets;
                         });

// ---- Parameter sets ------------------------------------------------------------------------

class ParameterSetTest : public SendTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ParameterSetTest, SeparateSendsEachKeyFramesSetsJustBeforeItUnderTheirOwnIndex) {
  const Codec c = CodecOf(GetParam());
  const Bytes file = ReadBytes(Clip(GetParam()));
  // Two passes of 60 access units with a key frame every 30, across the wrap of the index.
  Result r = Send(Quick({Clip(GetParam()), "--parameter-sets", "separate", "--loop", "2",
                         "--first-index", "4294967290"}));
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 124u);
  ASSERT_EQ(r.trace.size(), frames.size());
  ExpectIndicesFrom(frames, 4294967290u);
  for (const Frame& f : frames) EXPECT_TRUE(LongStartCode(f.data)) << "frame " << f.idx;
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(r.trace[i].frameidx, frames[i].idx);
  EXPECT_EQ(LayoutOf(c, r, frames, true).set_frames.size(), 4u);
  // Nothing lost, nothing reordered: the same NAL units as the file's, twice.
  std::vector<Nal> once = Nals(c, file), twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_TRUE(Nals(c, Concat(frames)) == twice);
  ExpectDecodes(c, frames, 120);

  // --frames counts the source's access units, not the frames the sets add.
  r = Send(Quick({Clip(GetParam()), "--parameter-sets", "separate", "--frames", "31"}));
  ASSERT_EQ(r.trace.size(), 33u);
  EXPECT_EQ(r.trace.back().au, 30u);
  EXPECT_EQ(r.trace.back().frameidx, 33u);
}

// Two clips of different sizes back to back: the second starts with a key frame whose sets
// differ from the first's under the same ids.
TEST_P(ParameterSetTest, OnceSendsChangedSetsAgain) {
  const Codec c = CodecOf(GetParam());
  const std::string other = c == Codec::kH264 ? "h264_642x362.h264" : "hevc_3840x2160.h265";
  const Bytes a = ReadBytes(Clip(GetParam())), b = ReadBytes(Clip(other));
  ASSERT_FALSE(a.empty() || b.empty());
  const fs::path joined = dir_ / ("joined" + fs::path(GetParam()).extension().string());
  std::ofstream(joined, std::ios::binary) << FileText(Clip(GetParam())) << FileText(Clip(other));
  const size_t na = pellion_tools::SplitAccessUnits(c, a).units.size();
  const size_t nb = pellion_tools::SplitAccessUnits(c, b).units.size();
  ASSERT_FALSE(FirstSets(c, a) == FirstSets(c, b));

  Result r = Send(
      Quick({joined.string(), "--parameter-sets", "once", "--loop", "2", "--payload", "8000"}));
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 2 * (na + nb));
  ExpectIndicesFrom(frames, 1);
  std::vector<size_t> with_sets;
  for (size_t i = 0; i < frames.size(); ++i)
    if (!ParameterSets(c, frames[i].data).empty()) with_sets.push_back(i);
  // Each change of size, the loop back to the first clip included, brings its sets again.
  ASSERT_EQ(with_sets, (std::vector<size_t>{0, na, na + nb, 2 * na + nb}));
  EXPECT_TRUE(ParameterSets(c, frames[with_sets[1]].data) == FirstSets(c, b));
  EXPECT_TRUE(ParameterSets(c, frames[with_sets[2]].data) == FirstSets(c, a));
  ExpectDecodes(c, frames, frames.size());
}

INSTANTIATE_TEST_SUITE_P(Codecs, ParameterSetTest,
                         ::testing::Values("h264_640x360.h264", "hevc_640x360.h265"),
                         [](const auto& info) { return std::string(info.param).substr(0, 4); });

struct OnceRun {
  const char* name;
  Codec codec;
  std::vector<std::string> args;
  size_t frames, keys;
};
class OnceTest : public SendTest, public ::testing::WithParamInterface<OnceRun> {};

// Key frames stay, without their sets, across loops and the encoder's GOPs alike; a sender
// started again starts over, since its receiver may be new too.
TEST_P(OnceTest, SendsTheSetsOncePerProcess) {
  const Codec c = GetParam().codec;
  std::vector<std::string> args = GetParam().args;
  args.insert(args.end(), {"--parameter-sets", "once"});
  for (int run = 0; run < 2; ++run) {
    Result r = Send(Quick(args));
    std::vector<Frame> frames = GroupFrames(r.packets);
    ASSERT_EQ(frames.size(), GetParam().frames);
    ExpectIndicesFrom(frames, 1);
    size_t keys = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(ParameterSets(c, frames[i].data).empty(), i != 0)
          << "run " << run << " frame " << i;
      EXPECT_TRUE(LongStartCode(frames[i].data)) << "frame " << i;
      keys += HasKeyPicture(c, frames[i].data) ? 1 : 0;
    }
    EXPECT_EQ(keys, GetParam().keys);
    if (args[0] != "--encode") {
      EXPECT_TRUE(ParameterSets(c, frames[0].data) == FirstSets(c, ReadBytes(args[0])));
    }
    ExpectDecodes(c, frames, frames.size());
  }
}

std::vector<std::string> Encode(const char* codec) {
  return {"--encode", "--codec", codec, "--size", "320x240", "--gop", "10", "--frames", "30"};
}
INSTANTIATE_TEST_SUITE_P(
    Sources, OnceTest,
    ::testing::Values(
        OnceRun{"h264", Codec::kH264, {Clip("h264_640x360.h264"), "--loop", "3"}, 180, 6},
        OnceRun{"hevc", Codec::kHevc, {Clip("hevc_640x360.h265"), "--loop", "3"}, 180, 6},
        OnceRun{"x264", Codec::kH264, Encode("h264"), 30, 3},
        OnceRun{"x265", Codec::kHevc, Encode("hevc"), 30, 3}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Frames left out, swapped, sent again --------------------------------------------------

struct Reshuffled {
  const char* name;
  std::vector<std::string> options;
  std::vector<uint64_t> units;  // sent, in order, of the 60 of h264_640x360 (keys at 0 and 30)
};
std::vector<uint64_t> UnitsWith(std::set<uint64_t> left_out,
                                const std::function<void(std::vector<uint64_t>*)>& change = {}) {
  std::vector<uint64_t> v;
  for (uint64_t u = 0; u < 60; ++u)
    if (left_out.count(u) == 0) v.push_back(u);
  if (change) change(&v);
  return v;
}

class ReshuffleTest : public SendTest, public ::testing::WithParamInterface<Reshuffled> {};

// A frame keeps the index of its place in the stream wherever it goes, and the trace lists the
// frames as they went.
TEST_P(ReshuffleTest, FramesGoInTheOrderAskedUnderTheirOwnIndices) {
  const std::string clip = Clip("h264_640x360.h264");
  std::vector<std::string> args = {clip};
  args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
  Result r = Send(Quick(args));
  const Bytes file = ReadBytes(clip);
  const auto units = pellion_tools::SplitAccessUnits(Codec::kH264, file).units;
  std::vector<Frame> frames = GroupFrames(r.packets);
  const std::vector<uint64_t>& want = GetParam().units;
  ASSERT_EQ(frames.size(), want.size());
  ASSERT_EQ(r.trace.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(frames[i].idx, want[i] + 1) << "frame " << i << " sent";
    EXPECT_EQ(r.trace[i].frameidx, want[i] + 1) << "trace line " << i;
    EXPECT_EQ(r.trace[i].au, want[i]) << "trace line " << i;
    EXPECT_TRUE(frames[i].data == Unit(file, units[want[i]]))
        << "frame " << i << " is not access unit " << want[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, ReshuffleTest,
    ::testing::Values(
        Reshuffled{"Skip", {"--skip", "55"}, {55, 56, 57, 58, 59}},
        Reshuffled{"Drop", {"--drop", "3,5-6", "--drop", "59"}, UnitsWith({3, 5, 6, 59})},
        Reshuffled{"DropBeforeKey", {"--drop-before-key", "2"}, UnitsWith({28, 29})},
        Reshuffled{
            "Swap", {"--swap", "3"}, UnitsWith({}, [](auto* v) { std::swap((*v)[3], (*v)[4]); })},
        // The last frame has no next one to wait for: it goes at the end all the same.
        Reshuffled{"SwapTheLast", {"--swap", "59"}, UnitsWith({})},
        Reshuffled{"Resend",
                   {"--resend", "2:3"},
                   UnitsWith({}, [](auto* v) { v->insert(v->begin() + 6, 2); })},
        Reshuffled{"ResendPastTheEnd",
                   {"--resend", "58:5"},
                   UnitsWith({}, [](auto* v) { v->push_back(58); })},
        Reshuffled{"DroppedFrameIsNotResent", {"--drop", "2", "--resend", "2:3"}, UnitsWith({2})}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
