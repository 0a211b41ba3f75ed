// The shared splitter that pellion-send and the test binaries cut clips with: key units,
// failures, NAL units and parameter-set ids.
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "elementary_stream.h"
#include "send_harness.h"

namespace {

using namespace send_test;

// Open GOPs start again at I pictures with a recovery point and no IDR: those are key frames.
// Intra refresh has none after its first IDR: its refresh waves start on P pictures.
TEST(ElementaryStream, KeyUnitsAreTheOnesADecoderCanStartFrom) {
  struct Case {
    const char* clip;
    size_t keys;
  };
  for (const Case& c :
       {Case{"h264_opengop_320x240.h264", 3}, Case{"h264_intrarefresh_320x240.h264", 1},
        Case{"gst_x264_intrarefresh_320x240.h264", 1}, Case{"gst_x264_320x240.h264", 3},
        Case{"gst_openh264_320x240.h264", 3}}) {
    Bytes file = ReadBytes(Clip(c.clip));
    auto units = pellion_tools::SplitAccessUnits(Codec::kH264, file).units;
    ASSERT_EQ(units.size(), 90u) << c.clip;
    std::vector<size_t> keys;
    for (size_t i = 0; i < units.size(); ++i)
      if (units[i].key) keys.push_back(i);
    ASSERT_EQ(keys.size(), c.keys) << c.clip;
    EXPECT_EQ(keys[0], 0u) << c.clip;
    // Every 30 pictures; in stream order a key picture may come a little before its B-frames.
    for (size_t k = 1; k < keys.size(); ++k)
      EXPECT_NEAR(static_cast<double>(keys[k] - keys[k - 1]), 30, 2) << c.clip;
  }
}

TEST(ElementaryStream, FailuresAreStreamErrorsNotCrashes) {
  using pellion_tools::Codec;
  EXPECT_THROW(pellion_tools::ReadWholeFile("/nonexistent/clip.h264"), pellion_tools::StreamError);
  Bytes text = {'n', 'o', ' ', 'v', 'i', 'd', 'e', 'o'};
  EXPECT_THROW(pellion_tools::CheckStream(Codec::kHevc, text, "text"), pellion_tools::StreamError);
  EXPECT_TRUE(pellion_tools::SplitAccessUnits(Codec::kH264, {}).units.empty());
}

TEST(ElementaryStream, NalUnitsCoverTheBytesAndParameterSetIdsAreRead) {
  Bytes au = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1e, 0x24, 0, 0, 1, 0x68, 0xce, 0, 0, 0, 1, 0x65, 0x88};
  std::vector<pellion_tools::NalUnit> nals = pellion_tools::SplitNalUnits(Codec::kH264, au);
  ASSERT_EQ(nals.size(), 3u);
  EXPECT_EQ(nals[0].offset, 0u);
  EXPECT_EQ(nals[1].offset, 9u);
  EXPECT_EQ(nals[2].offset, 14u) << "the zero byte before a start code is the next unit's";
  EXPECT_EQ(nals[2].offset + nals[2].size, au.size());
  EXPECT_EQ(nals[2].type, 5);
  using pellion_tools::ParameterSetId;
  EXPECT_EQ(ParameterSetId(Codec::kH264, 7, Bytes{0x67, 0x42, 0, 0x1e, 0x24}), 3);
  // 00 00 03 is emulation prevention: the 03 is not data.
  EXPECT_EQ(ParameterSetId(Codec::kH264, 7, Bytes{0x67, 0, 0, 3, 0, 0x24}), 3);
  EXPECT_EQ(ParameterSetId(Codec::kH264, 7, Bytes{0x67, 0x42}), -1) << "cut short";
  EXPECT_EQ(ParameterSetId(Codec::kH264, 8, Bytes{0x68, 0xce}), 0);
  EXPECT_EQ(ParameterSetId(Codec::kH264, 5, Bytes{0x65, 0x88}), -1) << "not a parameter set";
  // Any bytes at all: the units tile them from the first start code, ids stay in range.
  std::mt19937 rng(7);
  const uint8_t alphabet[] = {0, 0, 0, 1, 3, 0x40, 0x42, 0x67, 0xff};
  for (int round = 0; round < 3000; ++round) {
    Bytes b(rng() % 48);
    for (uint8_t& x : b) x = alphabet[rng() % sizeof alphabet];
    for (Codec c : {Codec::kH264, Codec::kHevc}) {
      size_t end = 0;
      for (const pellion_tools::NalUnit& n : pellion_tools::SplitNalUnits(c, b)) {
        ASSERT_EQ(n.offset, end);
        ASSERT_GT(n.header, n.offset);
        ASSERT_LE(n.header, n.offset + n.size);  // empty between two start codes
        end = n.offset + n.size;
        for (int t : {7, 8, 32, 33, 34}) {
          int id = ParameterSetId(c, t, std::span<const uint8_t>(b).subspan(n.header));
          ASSERT_GE(id, -1);
          ASSERT_LE(id, 255);
        }
      }
      ASSERT_TRUE(end == 0 || end == b.size());
    }
  }
  // The HEVC SPS id sits behind profile_tier_level, here with one sub-layer of its own.
  Bytes sps = {0x42, 0x01, 0x03};
  sps.insert(sps.end(), 12, 0x01);      // general profile and level
  sps.insert(sps.end(), {0xc0, 0x00});  // sub-layer profile and level present, reserved bits
  sps.insert(sps.end(), 12, 0x01);      // the sub-layer's profile and level
  sps.push_back(0x34);                  // ue(5)
  EXPECT_EQ(ParameterSetId(Codec::kHevc, 33, sps), 5);
  EXPECT_EQ(ParameterSetId(Codec::kHevc, 33, Bytes(sps.begin(), sps.end() - 1)), -1);
  Bytes clip = ReadBytes(Clip("hevc_640x360.h265"));
  std::vector<Nal> sets = ParameterSets(Codec::kHevc, clip);
  ASSERT_GE(sets.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sets[i].type, 32 + static_cast<int>(i));
    EXPECT_EQ(ParameterSetId(Codec::kHevc, sets[i].type, sets[i].body), 0);
  }
}

}  // namespace
