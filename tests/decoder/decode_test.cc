// The codec probe and the decoder on real clips, checked against the ffmpeg command's own
// decode of the same clips.
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VideoFmtEx.h"
#include "elementary_stream.h"
#include "log/log_capture.h"
#include "video_decoder.h"

namespace {

using pellion_tools::Codec;

std::string ClipPath(const std::string& name) { return std::string(PELLION_CLIPS_DIR) + "/" + name; }

struct Clip {
  std::vector<uint8_t> bytes;
  std::vector<pellion_tools::AccessUnit> units;
  std::span<const uint8_t> Unit(size_t i) const {
    return std::span<const uint8_t>(bytes).subspan(units[i].offset, units[i].size);
  }
};

Clip LoadClip(const std::string& name, Codec codec) {
  Clip c;
  c.bytes = pellion_tools::ReadWholeFile(ClipPath(name));
  c.units = pellion_tools::SplitAccessUnits(codec, c.bytes).units;
  return c;
}

std::vector<uint8_t> ReadReference(const std::string& name) {
  std::ifstream f(ClipPath(name) + ".nv12", std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

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

class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_video_decoder(); }
  void TearDown() override { reset_video_decoder(); }
};

TEST(ProbeTest, KeyFramesNameTheirCodec) {
  Clip h264 = LoadClip("h264_640x360.h264", Codec::kH264);
  Clip hevc = LoadClip("hevc_640x360.h265", Codec::kHevc);
  EXPECT_EQ(probe_video_codec_id(h264.Unit(0).data(), h264.Unit(0).size()), AV_CODEC_ID_H264);
  EXPECT_EQ(probe_video_codec_id(hevc.Unit(0).data(), hevc.Unit(0).size()), AV_CODEC_ID_HEVC);
}

TEST(ProbeTest, WhatTellsNothingGivesNoCodec) {
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

  Clip h264 = LoadClip("h264_640x360.h264", Codec::kH264);
  EXPECT_EQ(probe_video_codec_id(h264.Unit(1).data(), h264.Unit(1).size()), AV_CODEC_ID_NONE)
      << "a predicted frame alone";
}

TEST(ProbeTest, PlaylistsAndOtherContainersAreNeverOpened) {
  NORV::sLog::LogCapture capture;
  std::string playlist =
      "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nfile:///etc/passwd\n#EXT-X-ENDLIST\n";
  EXPECT_EQ(probe_video_codec_id(reinterpret_cast<const uint8_t*>(playlist.data()),
                                 playlist.size()),
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
void ExpectBitExact(const std::string& name, Codec codec, int w, int h, size_t frames) {
  Clip clip = LoadClip(name, codec);
  std::vector<uint8_t> reference = ReadReference(name);
  const size_t picture = static_cast<size_t>(w) * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
  ASSERT_EQ(reference.size(), picture * frames) << name;
  ASSERT_GE(clip.units.size(), frames);
  for (size_t i = 0; i < frames; ++i) {
    Decoded d = Decode(clip.Unit(i));
    ASSERT_TRUE(d.ok) << name << " unit " << i;
    EXPECT_EQ(d.width, w);
    EXPECT_EQ(d.height, h);
    EXPECT_EQ(d.type, i == 0 || i % 30 == 0 ? 1 : 2) << "unit " << i;
    ASSERT_EQ(d.picture.size(), picture);
    ASSERT_TRUE(std::equal(d.picture.begin(), d.picture.end(), reference.begin() + i * picture))
        << name << " picture " << i << " differs from the reference";
  }
}

TEST_F(DecoderTest, FullHdH264IsBitExact) {
  ExpectBitExact("h264_1920x1080.h264", Codec::kH264, 1920, 1080, 30);
}

TEST_F(DecoderTest, OddSizesKeepTheirRoundedUpChroma) {
  ExpectBitExact("h264_642x362.h264", Codec::kH264, 642, 362, 30);
}

TEST_F(DecoderTest, HevcIsBitExact) { ExpectBitExact("hevc_640x360.h265", Codec::kHevc, 640, 360, 60); }

TEST_F(DecoderTest, UltraHdHevcFillsTheWholeSection) {
  Clip clip = LoadClip("hevc_3840x2160.h265", Codec::kHevc);
  std::vector<uint8_t> reference = ReadReference("hevc_3840x2160.h265");
  Decoded d = Decode(clip.Unit(0));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.picture.size(), 12441600u);
  EXPECT_TRUE(std::equal(d.picture.begin(), d.picture.end(), reference.begin()));
}

TEST_F(DecoderTest, AFailureDropsTheDecoderAndTheNextKeyFrameOfAnotherCodecOpensOne) {
  NORV::sLog::LogCapture capture;
  Clip h264 = LoadClip("h264_640x360.h264", Codec::kH264);
  Clip hevc = LoadClip("hevc_640x360.h265", Codec::kHevc);
  // A predicted frame first: nothing to detect.
  EXPECT_FALSE(Decode(h264.Unit(1)).ok);
  EXPECT_EQ(capture.Count("miss codec: "), 1u);
  Decoded d = Decode(h264.Unit(0));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.codec, AV_CODEC_ID_H264);
  // The stream switches: the open H.264 decoder fails on it and is dropped ...
  bool ok = Decode(hevc.Unit(0)).ok;
  if (ok) GTEST_SKIP() << "the H.264 decoder took the H.265 unit without failing";
  // ... and the next unit is detected afresh.
  d = Decode(hevc.Unit(0));
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.codec, AV_CODEC_ID_HEVC);
  EXPECT_TRUE(Decode(hevc.Unit(1)).ok);
}

TEST_F(DecoderTest, ADecoderThatHoldsPicturesBackFailsAndReopens) {
  NORV::sLog::LogCapture capture;
  Clip clip = LoadClip("h264_bframes_640x360.h264", Codec::kH264);
  size_t keys = 0, pictures = 0;
  for (size_t i = 0; i < clip.units.size(); ++i) {
    keys += clip.units[i].key;
    pictures += Decode(clip.Unit(i)).ok;
  }
  // One packet in, one picture out: a reordering decoder never gives one, and every failure
  // drops it. Key units open a new one (no "miss codec"); the others find nothing to open.
  EXPECT_EQ(pictures, 0u);
  EXPECT_GT(keys, 0u);
  EXPECT_EQ(capture.Count("miss codec: "), clip.units.size() - keys);
}

}  // namespace
