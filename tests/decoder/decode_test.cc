// The codec probe and the decoder on real clips, checked against the ffmpeg command's own
// decode of the same clips.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VideoFmtEx.h"
#include "common/reference.h"
#include "elementary_stream.h"
#include "log/log_capture.h"
#include "log/rate_limit.h"
#include "nal_units.h"
#include "platform/clock.h"
#include "video_decoder.h"

namespace {

using pellion_tools::Codec;
namespace fs = std::filesystem;

using testing_util::Clip;

using testing_util::LoadClip;
using testing_util::ReadDecode;

struct Decoded {
  bool ok = false;
  std::vector<uint8_t> picture;
  int width = 0, height = 0, type = 0;
  AVCodecID codec = AV_CODEC_ID_NONE;
};

Decoded Decode(std::span<const uint8_t> unit) {
  Decoded d;
  d.ok = decode_video_frame(unit.data(), unit.size(), &d.picture, &d.width, &d.height, &d.codec,
                            &d.type);
  return d;
}

// Lines that bad input repeats are limited per window of the process's millisecond clock, and
// the limiters outlive a test: a test that counts them runs on a clock of its own, in a window
// no other test used.
class OwnLogWindow {
 public:
  OwnLogWindow() {
    now_ += 10 * NORV::sLog::LogRateLimit::kWindowMs;
    platform::SetClockMsForTesting(&Now);
  }
  ~OwnLogWindow() { platform::SetClockMsForTesting(nullptr); }
  OwnLogWindow(const OwnLogWindow&) = delete;
  OwnLogWindow& operator=(const OwnLogWindow&) = delete;

 private:
  static uint32_t Now() { return now_.load(); }
  static inline std::atomic<uint32_t> now_{3000000};
};

// Every decoder test runs with one thread and with slice threads: on an intact stream both
// give the ffmpeg command's pictures, at the same time.
class DecoderTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    reset_video_decoder();
    ProcessVideoDecoder().set_threads(GetParam());
  }
  void TearDown() override {
    reset_video_decoder();
    ProcessVideoDecoder().set_threads(0);
  }
  // A decoder of the test's own with the test's threads.
  VideoDecoder& Fresh() {
    own_ = std::make_unique<VideoDecoder>();
    own_->set_threads(GetParam());
    return *own_;
  }
  std::unique_ptr<VideoDecoder> own_;
  OwnLogWindow window_;
};

TEST(ProbeTest, KeyFramesNameTheirCodec) {
  Clip h264 = LoadClip("h264_640x360.h264");
  Clip hevc = LoadClip("hevc_640x360.h265");
  EXPECT_EQ(probe_video_codec_id(h264.Unit(0).data(), h264.Unit(0).size()), AV_CODEC_ID_H264);
  EXPECT_EQ(probe_video_codec_id(hevc.Unit(0).data(), hevc.Unit(0).size()), AV_CODEC_ID_HEVC);
}

TEST(ProbeTest, WhatTellsNothingGivesNoCodec) {
  OwnLogWindow window;
  NORV::sLog::LogCapture capture;
  AVCodecID id = AV_CODEC_ID_MPEG4;
  const uint8_t byte = 0;
  EXPECT_EQ(get_video_codec_id_from_memory(&byte, 0, &id), -22);
  EXPECT_EQ(id, AV_CODEC_ID_MPEG4) << "the output is written only on success";
  EXPECT_TRUE(capture.lines().empty());

  std::vector<uint8_t> noise(5000);
  std::mt19937 rng(5);
  for (auto& b : noise) b = static_cast<uint8_t>(rng());
  EXPECT_EQ(probe_video_codec_id(noise.data(), noise.size()), AV_CODEC_ID_NONE);
  EXPECT_EQ(capture.Count(" size:5000"), 1u);

  Clip h264 = LoadClip("h264_640x360.h264");
  EXPECT_EQ(probe_video_codec_id(h264.Unit(1).data(), h264.Unit(1).size()), AV_CODEC_ID_NONE)
      << "a predicted frame alone";
}

TEST(ProbeTest, PlaylistsAndOtherContainersAreNeverOpened) {
  OwnLogWindow window;
  NORV::sLog::LogCapture capture;
  std::string playlist =
      "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nfile:///etc/passwd\n#EXT-X-ENDLIST\n";
  EXPECT_EQ(
      probe_video_codec_id(reinterpret_cast<const uint8_t*>(playlist.data()), playlist.size()),
      AV_CODEC_ID_NONE);
  EXPECT_EQ(capture.Count("Could not open input error:"), 1u);
  std::string concat = "ffconcat version 1.0\nfile /etc/passwd\n";
  EXPECT_EQ(probe_video_codec_id(reinterpret_cast<const uint8_t*>(concat.data()), concat.size()),
            AV_CODEC_ID_NONE);
}

TEST(ProbeTest, TheReaderServesExactlyTheSample) {
  std::vector<uint8_t> sample(10000);
  for (size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<uint8_t>(i);
  MemoryReader reader{sample.data(), sample.size()};
  std::vector<uint8_t> buf(4096), got;
  std::vector<int> sizes;
  for (int i = 0; i < 5; ++i) {
    int n = read_memory_packet(&reader, buf.data(), 4096);
    sizes.push_back(n);
    if (n > 0) got.insert(got.end(), buf.begin(), buf.begin() + n);
  }
  EXPECT_EQ(sizes, (std::vector<int>{4096, 4096, 1808, AVERROR_EOF, AVERROR_EOF}));
  EXPECT_EQ(got, sample);
}

// Every access unit of a clip decodes to exactly the picture the ffmpeg command makes of it.
void ExpectBitExact(const std::string& name, size_t frames) {
  SCOPED_TRACE(name);
  int w = 0, h = 0;
  ASSERT_TRUE(testing_util::ClipSize(name, &w, &h));
  Clip clip = LoadClip(name);
  std::vector<uint8_t> reference = ReadDecode(name);
  const size_t picture = static_cast<size_t>(w) * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
  ASSERT_EQ(reference.size(), picture * frames);
  ASSERT_GE(clip.units.size(), frames);
  for (size_t i = 0; i < frames; ++i) {
    Decoded d = Decode(clip.Unit(i));
    ASSERT_TRUE(d.ok) << "unit " << i;
    EXPECT_EQ(d.width, w);
    EXPECT_EQ(d.height, h);
    EXPECT_EQ(d.type, i == 0 || i % 30 == 0 ? 1 : 2) << "unit " << i;
    ASSERT_EQ(d.picture.size(), picture);
    ASSERT_TRUE(std::equal(d.picture.begin(), d.picture.end(), reference.begin() + i * picture))
        << "picture " << i << " differs from the reference";
  }
}

// Full HD, odd sizes (rounded-up chroma), HEVC, 10 bits converted as the command converts
// them, and four slices decoded in parallel.
TEST_P(DecoderTest, EveryClipIsBitExact) {
  for (auto [name, frames] : {std::pair{"h264_1920x1080.h264", 30},
                              {"h264_642x362.h264", 30},
                              {"hevc_640x360.h265", 60},
                              {"h264_high10_320x240.h264", 30},
                              {"hevc_main10_320x240.h265", 30},
                              {"h264_slices4_1280x722.h264", 30}}) {
    reset_video_decoder();  // each clip a new stream
    ExpectBitExact(name, frames);
  }
}

TEST_P(DecoderTest, UltraHdHevcFillsTheWholeSection) {
  Clip clip = LoadClip("hevc_3840x2160.h265");
  std::vector<uint8_t> reference = ReadDecode("hevc_3840x2160.h265");
  Decoded d = Decode(clip.Unit(0));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.picture.size(), 12441600u);
  EXPECT_TRUE(std::equal(d.picture.begin(), d.picture.end(), reference.begin()));
}

TEST_P(DecoderTest, APredictedFrameFirstNamesNoCodecAndTheKeyFrameOpensTheDecoder) {
  NORV::sLog::LogCapture capture;
  Clip h264 = LoadClip("h264_640x360.h264");
  EXPECT_FALSE(Decode(h264.Unit(1)).ok);
  EXPECT_EQ(capture.Count("miss codec: "), 1u);
  Decoded d = Decode(h264.Unit(0));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.codec, AV_CODEC_ID_H264);
}

// Frames through a decoder as the decoder thread sends them: each tagged with its position,
// every picture converted (or taken out, to be converted later) as soon as the decoder gives it.
struct Output {
  std::vector<int64_t> tags;
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<std::unique_ptr<DecodedFrame>> taken;
  size_t rejected = 0, corrupt = 0;
  // The pictures taken out, converted now.
  void ConvertTaken() {
    for (auto& t : taken) {
      ASSERT_NE(t, nullptr);
      pictures.emplace_back(640 * 360 * 3 / 2);
      ASSERT_TRUE(t->ConvertInto(pictures.back().data()));
    }
  }
};

enum class Take { kConvertAtOnce, kTakeOut };

void RunFrames(VideoDecoder& d, const std::vector<std::vector<uint8_t>>& frames, Output* out,
               int64_t first_tag = 0, Take take = Take::kConvertAtOnce) {
  for (size_t i = 0; i < frames.size(); ++i) {
    FrameInfo info;
    if (!d.Send(frames[i].data(), frames[i].size(), first_tag + static_cast<int64_t>(i), &info)) {
      ++out->rejected;
      continue;
    }
    DecodedPicture p;
    while (d.Receive(&p) == ReceiveStatus::kPicture) {
      out->corrupt += p.corrupt;
      out->tags.push_back(p.tag);
      if (take == Take::kTakeOut) {
        out->taken.push_back(d.TakePicture());
        continue;
      }
      out->pictures.emplace_back();
      ASSERT_TRUE(d.ConvertTo(&out->pictures.back()));
    }
  }
}

std::vector<std::vector<uint8_t>> Units(const Clip& clip) {
  std::vector<std::vector<uint8_t>> frames;
  for (size_t i = 0; i < clip.units.size(); ++i)
    frames.emplace_back(clip.Unit(i).begin(), clip.Unit(i).end());
  return frames;
}

// Splits every frame's parameter sets off into a frame of their own before it, as hardware
// encoders hand out their codec configuration.
std::vector<std::vector<uint8_t>> SeparateParameterSets(Codec codec,
                                                        const std::vector<std::vector<uint8_t>>& in,
                                                        bool only_first) {
  std::vector<std::vector<uint8_t>> out;
  bool seen = false;
  for (const auto& frame : in) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < frame.size(); ++i)
      if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1) starts.push_back(i);
    starts.push_back(frame.size());
    std::vector<uint8_t> ps, rest;
    for (size_t n = 0; n + 1 < starts.size(); ++n) {
      size_t b = n == 0 ? 0 : starts[n], e = starts[n + 1];
      int type = pellion_tools::NalType(codec, frame[starts[n] + 3]);
      bool is_ps = codec == Codec::kH264 ? type == 7 || type == 8 : type >= 32 && type <= 34;
      auto& to = is_ps ? ps : rest;
      to.insert(to.end(), frame.begin() + b, frame.begin() + e);
    }
    if (!ps.empty() && !(only_first && seen)) {
      if (!only_first)
        out.push_back(ps);
      else
        rest.insert(rest.begin(), ps.begin(), ps.end());
      seen = true;
    }
    out.push_back(rest);
  }
  return out;
}

// The pictures come out in display order, each under the tag of the frame that carried it, and
// each is the ffmpeg command's picture at that place. All but the ones still held at the end.
void ExpectDisplayOrderBitExact(const Output& out, const std::string& name, size_t frames,
                                size_t min_pictures) {
  std::vector<uint8_t> reference = ReadDecode(name);
  const size_t picture = 640 * 360 * 3 / 2;
  ASSERT_EQ(reference.size(), picture * frames);
  ASSERT_GE(out.pictures.size(), min_pictures);
  EXPECT_EQ(out.corrupt, 0u);
  std::set<int64_t> distinct(out.tags.begin(), out.tags.end());
  EXPECT_EQ(distinct.size(), out.tags.size()) << "a tag came out twice";
  for (size_t k = 0; k < out.pictures.size(); ++k) {
    ASSERT_EQ(out.pictures[k].size(), picture);
    ASSERT_TRUE(
        std::equal(out.pictures[k].begin(), out.pictures[k].end(), reference.begin() + k * picture))
        << name << " picture " << k << " (tag " << out.tags[k] << ") differs";
  }
}

// What the decoder and the policy read of each frame: a slice in every unit, the parameter sets
// and codec of key units, key frames by kind, frame_num counting reference frames from 0 at
// each IDR.
TEST(NalUnitsTest, FramesNameTheirSlicesParameterSetsRecoveryPointsAndFrameNum) {
  struct Case {
    const char* name;
    Codec codec;
    RecoveryKind first, later;  // of the first key frame, and of the others
  };
  for (const Case& c :
       {Case{"h264_640x360.h264", Codec::kH264, RecoveryKind::kIdr, RecoveryKind::kIdr},
        Case{"h264_bpyramid_640x360.h264", Codec::kH264, RecoveryKind::kIdr, RecoveryKind::kIdr},
        Case{"hevc_640x360.h265", Codec::kHevc, RecoveryKind::kIdr, RecoveryKind::kIrap},
        Case{"hevc_opengop_640x360.h265", Codec::kHevc, RecoveryKind::kIdr, RecoveryKind::kIrap}}) {
    SCOPED_TRACE(c.name);
    Clip clip = LoadClip(c.name);
    const AVCodecID id = c.codec == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
    StreamSyntax syntax;
    bool first = true;
    std::optional<uint32_t> last_frame_num;
    for (size_t i = 0; i < clip.units.size(); ++i) {
      const FrameFacts f = syntax.Describe(id, clip.Unit(i));
      ASSERT_TRUE(f.has_slice) << i;
      const FrameNals nals = ParseFrameNals(id, clip.Unit(i));
      EXPECT_TRUE(nals.has_slice) << i;
      EXPECT_EQ(nals.key, clip.units[i].key) << i;
      EXPECT_EQ(nals.parameter_sets.empty(), !clip.units[i].key) << i;
      EXPECT_EQ(CodecFromParameterSets(clip.Unit(i)), clip.units[i].key ? id : AV_CODEC_ID_NONE);
      EXPECT_EQ(f.key(), clip.units[i].key) << i;
      EXPECT_EQ(f.parameter_sets, clip.units[i].key) << i;
      if (f.key()) {
        EXPECT_EQ(f.recovery, first ? c.first : c.later) << i;
        first = false;
      } else {
        EXPECT_EQ(f.recovery, RecoveryKind::kNone) << i;
      }
      if (c.codec != Codec::kH264) continue;
      ASSERT_TRUE(f.frame_num.has_value()) << i;
      if (f.recovery == RecoveryKind::kIdr) {
        EXPECT_EQ(*f.frame_num, 0u) << i;
      } else if (last_frame_num) {
        EXPECT_LE((*f.frame_num - *last_frame_num) % f.max_frame_num, 1u) << i;
      }
      last_frame_num = f.frame_num;
    }
  }
}

// A key frame of the other codec opens the right decoder on its first arrival, both ways,
// whatever the decoder remembers of the first stream.
TEST_P(DecoderTest, AKeyFrameOfTheOtherCodecSwitchesAtOnce) {
  Clip h264 = LoadClip("h264_640x360.h264");
  Clip hevc = LoadClip("hevc_640x360.h265");
  for (auto [from, to] : {std::pair{&hevc, &h264}, std::pair{&h264, &hevc}}) {
    NORV::sLog::LogCapture capture;
    VideoDecoder& d = Fresh();
    Output out;
    const auto first_frames = Units(*from);
    RunFrames(d, std::vector(first_frames.begin(), first_frames.begin() + 10), &out);
    const AVCodecID first = d.codec_id();
    RunFrames(d, Units(*to), &out, 10);
    EXPECT_NE(d.codec_id(), first);
    EXPECT_EQ(out.rejected, 0u);
    EXPECT_EQ(out.pictures.size(), 70u);
    EXPECT_EQ(capture.Count("stream switched from "), 1u);
  }
}

TEST_P(DecoderTest, StreamsWithoutReorderingGiveEachPictureAtOnce) {
  for (auto [name, codec] : {std::pair{"h264_640x360.h264", Codec::kH264},
                             std::pair{"h264_slices4_1280x722.h264", Codec::kH264},
                             std::pair{"hevc_640x360.h265", Codec::kHevc}}) {
    SCOPED_TRACE(name);
    VideoDecoder& d = Fresh();
    Clip clip = LoadClip(name);
    for (size_t i = 0; i < clip.units.size(); ++i) {
      FrameInfo info;
      ASSERT_TRUE(d.Send(clip.Unit(i).data(), clip.Unit(i).size(), static_cast<int64_t>(i), &info));
      EXPECT_EQ(info.key, i % 30 == 0) << i;
      EXPECT_TRUE(info.has_slice);
      DecodedPicture p;
      ASSERT_EQ(d.Receive(&p), ReceiveStatus::kPicture) << "unit " << i;
      EXPECT_EQ(p.tag, static_cast<int64_t>(i));
      EXPECT_EQ(d.Receive(&p), ReceiveStatus::kNone);
    }
  }
}

TEST_P(DecoderTest, EachOpeningSaysItsThreadsOnce) {
  NORV::sLog::LogCapture capture;
  VideoDecoder& d = Fresh();
  Clip clip = LoadClip("hevc_640x360.h265");
  Output out;
  RunFrames(d, {Units(clip)[0], Units(clip)[1]}, &out);
  ASSERT_EQ(out.pictures.size(), 2u);
  EXPECT_EQ(d.threads(), GetParam());
  const std::string said = GetParam() == 1 ? "decoder hevc opened with 1 thread"
                                           : "decoder hevc opened with 4 slice threads";
  EXPECT_EQ(capture.Count(said), 1u);
  // Reopenings after failures with the same figures say nothing more.
  d.Close();
  EXPECT_EQ(d.threads(), 0);
  RunFrames(d, {Units(clip)[0]}, &out, 3);
  EXPECT_EQ(out.pictures.size(), 3u);
  EXPECT_EQ(capture.Count("opened with"), 1u);
}

TEST(SliceThreadsTest, TheVariableWinsOverTheIniAndCoresAreCapped) {
  const fs::path dir =
      fs::temp_directory_path() / ("pellion-threads-" + std::to_string(std::random_device()()));
  fs::create_directories(dir);
  const std::string off = (dir / "off.ini").string(), on = (dir / "on.ini").string();
  std::ofstream(off) << "[NORV]\nENCRYPT=0\nSLICETHREADS=0\n";
  std::ofstream(on) << "[NORV]\nSLICETHREADS=1\n";
  const std::string none = (dir / "none.ini").string();
  EXPECT_EQ(SliceThreadsFrom(nullptr, none, 8), 8);
  EXPECT_EQ(SliceThreadsFrom(nullptr, none, 64), 16);
  EXPECT_EQ(SliceThreadsFrom(nullptr, none, 0), 1);
  EXPECT_EQ(SliceThreadsFrom(nullptr, off, 8), 1);
  EXPECT_EQ(SliceThreadsFrom(nullptr, on, 8), 8);
  EXPECT_EQ(SliceThreadsFrom("", off, 8), 1) << "an empty variable is no setting";
  EXPECT_EQ(SliceThreadsFrom("0", on, 8), 1);
  EXPECT_EQ(SliceThreadsFrom("1", off, 8), 8);
  fs::remove_all(dir);
}

// Pictures are taken out as the decoder thread does: each stays whole while the decoder goes on
// to the later frames, and after the decoder is gone.
TEST_P(DecoderTest, ParameterSetsInAFrameOfTheirOwnOpenTheDecoder) {
  for (auto [name, codec] : {std::pair{"h264_bpyramid_640x360.h264", Codec::kH264},
                             std::pair{"hevc_opengop_640x360.h265", Codec::kHevc}}) {
    SCOPED_TRACE(name);
    NORV::sLog::LogCapture capture;
    Clip clip = LoadClip(name);
    auto frames = SeparateParameterSets(codec, Units(clip), false);
    ASSERT_GT(frames.size(), clip.units.size());
    EXPECT_EQ(CodecFromParameterSets(frames[0]),
              codec == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    FrameInfo info;
    VideoDecoder& d = Fresh();
    ASSERT_TRUE(d.Send(frames[0].data(), frames[0].size(), 0, &info));
    EXPECT_FALSE(info.has_slice);
    DecodedPicture p;
    EXPECT_EQ(d.Receive(&p), ReceiveStatus::kNone);
    Output out;
    RunFrames(d, std::vector(frames.begin() + 1, frames.end()), &out, 1, Take::kTakeOut);
    own_.reset();
    out.ConvertTaken();
    EXPECT_EQ(out.rejected, 0u);
    EXPECT_EQ(capture.Count("miss codec"), 0u);
    EXPECT_EQ(capture.Count("Could not"), 0u) << "no probe for parameter sets";
    ExpectDisplayOrderBitExact(out, name, 60, 54);
  }
}

TEST_P(DecoderTest, ParameterSetsSentOnceOutliveAFailure) {
  for (auto [name, codec] : {std::pair{"h264_bpyramid_640x360.h264", Codec::kH264},
                             std::pair{"hevc_opengop_640x360.h265", Codec::kHevc}}) {
    SCOPED_TRACE(name);
    NORV::sLog::LogCapture capture;
    Clip clip = LoadClip(name);
    auto frames = SeparateParameterSets(codec, Units(clip), true);
    ASSERT_EQ(frames.size(), 60u);
    size_t k = 20;
    while (k < clip.units.size() && !clip.units[k].key) ++k;
    ASSERT_LT(k, clip.units.size());
    VideoDecoder& d = Fresh();
    Output first;
    RunFrames(d, std::vector(frames.begin(), frames.begin() + k), &first);
    ASSERT_GT(first.pictures.size(), 15u);
    // A slice that names a picture parameter set nobody sent: both decoders reject the frame.
    // Then the decoder closes, keeping all it had learnt.
    const std::vector<uint8_t> rejected =
        codec == Codec::kH264 ? std::vector<uint8_t>{0, 0, 0, 1, 0x41, 0x98, 0x06, 0x4C}
                              : std::vector<uint8_t>{0, 0, 0, 1, 0x02, 0x01, 0x83, 0xD8};
    FrameInfo info;
    EXPECT_TRUE(d.Send(rejected.data(), rejected.size(), 999, &info));
    EXPECT_TRUE(info.damaged) << "damaged data is reported, and keeps the decoder open";
    d.Close();  // as a failure of another kind does
    Output second;
    RunFrames(d, std::vector(frames.begin() + k, frames.end()), &second, k);
    EXPECT_EQ(second.rejected, 0u);
    EXPECT_EQ(capture.Count("decoder reopened with the remembered parameter sets of"), 1u);
    // From that key frame on, the pictures are the reference's, in order (the decoder skips an
    // open GOP's leading pictures after a reopening).
    std::vector<uint8_t> reference = ReadDecode(name);
    const size_t picture = 640 * 360 * 3 / 2;
    ASSERT_GT(second.pictures.size(), 20u);
    EXPECT_EQ(second.corrupt, 0u);
    auto at = [&](size_t r) { return reference.begin() + static_cast<long>(r * picture); };
    size_t r = 0;
    while (r < 60 && !std::equal(second.pictures[0].begin(), second.pictures[0].end(), at(r))) ++r;
    ASSERT_LT(r, 60u) << "the key frame's picture is no reference picture";
    for (size_t j = 1; j < second.pictures.size() && r + j < 60; ++j)
      EXPECT_TRUE(std::equal(second.pictures[j].begin(), second.pictures[j].end(), at(r + j)))
          << "picture " << j << " (tag " << second.tags[j] << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, DecoderTest, ::testing::Values(1, 4), [](const auto& info) {
  return info.param == 1 ? std::string("OneThread") : std::string("FourSliceThreads");
});

}  // namespace
