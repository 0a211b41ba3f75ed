// Damaged frames on real clips, with one thread and with slice threads: each damaged picture is
// flagged, fails at send, or is reported by the watch; intact clips never are.
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "damage_watch.h"
#include "elementary_stream.h"

namespace {

using pellion_tools::Codec;

struct Kind {
  const char* name;
  const char* clip;
  Codec codec;
  size_t frames;
  // False where the installed HEVC decoder reads damaged slices through without a sign: only
  // pictures that carry their MD5 are checked.
  bool damage_seen = true;
};

const Kind kKinds[] = {
    {"H264OneSlice", "h264_640x360.h264", Codec::kH264, 30},
    {"H264FourSlices", "h264_slices4_1280x722.h264", Codec::kH264, 30},
    {"HevcWavefronts", "hevc_640x360.h265", Codec::kHevc, 30, false},
    {"HevcNoWavefronts", "hevc_nowpp_320x240.h265", Codec::kHevc, 30, false},
    {"HevcFourSlices", "hevc_slices4_320x240.h265", Codec::kHevc, 30, false},
    {"HevcPictureHash", "hevc_hash_320x240.h265", Codec::kHevc, 30},
};

enum class Damage { kFlip, kTruncate, kDropSlice };

AVCodecID IdOf(Codec c) { return c == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC; }

std::vector<std::vector<uint8_t>> LoadUnits(const Kind& kind) {
  std::vector<uint8_t> bytes =
      pellion_tools::ReadWholeFile(std::string(PELLION_CLIPS_DIR) + "/" + kind.clip);
  std::vector<std::vector<uint8_t>> units;
  for (const auto& u : pellion_tools::SplitAccessUnits(kind.codec, bytes).units)
    units.emplace_back(bytes.begin() + u.offset, bytes.begin() + u.offset + u.size);
  return units;
}

// The slice NAL units of a frame, start codes included.
std::vector<pellion_tools::NalUnit> Slices(Codec c, const std::vector<uint8_t>& frame) {
  std::vector<pellion_tools::NalUnit> slices;
  for (const auto& nal : pellion_tools::SplitNalUnits(c, frame))
    if (pellion_tools::IsSliceNal(c, nal.type)) slices.push_back(nal);
  return slices;
}

// Damages the middle slice of the frame; false when there is no such damage for it.
bool Apply(Damage damage, Codec c, std::vector<uint8_t>* frame) {
  auto slices = Slices(c, *frame);
  if (slices.empty()) return false;
  const auto& s = slices[slices.size() / 2];
  const size_t payload = s.offset + s.size - s.header;
  switch (damage) {
    case Damage::kFlip:
      // Bytes of 0x80 and above never make a start code.
      for (size_t i = 0; i < 4; ++i) {
        uint8_t& b = (*frame)[s.header + payload * 2 / 5 + i];
        b = static_cast<uint8_t>((b ^ 0x5a) | 0x80);
      }
      return true;
    case Damage::kTruncate:
      frame->erase(frame->begin() + static_cast<long>(s.header + payload / 2),
                   frame->begin() + static_cast<long>(s.offset + s.size));
      return true;
    case Damage::kDropSlice:
      if (slices.size() < 2) return false;
      frame->erase(frame->begin() + static_cast<long>(s.offset),
                   frame->begin() + static_cast<long>(s.offset + s.size));
      return true;
  }
  return false;
}

// A decoder opened as VideoDecoder opens one, with the watch attached.
struct Watched {
  Watched(AVCodecID id, int threads) {
    const AVCodec* codec = avcodec_find_decoder(id);
    ctx.reset(avcodec_alloc_context3(codec));
    ctx->thread_type = FF_THREAD_SLICE;
    ctx->thread_count = threads;
    DamageWatch::Prepare(ctx.get());
    ok = avcodec_open2(ctx.get(), codec, nullptr) == 0 && watch.Attach(ctx.get());
  }
  // What became of frame `tag`: its send failed, its picture was flagged, or its damage seen.
  struct Outcome {
    bool failed = false, damaged = false, flagged = false, picture = false;
    std::vector<uint8_t> luma;
  };
  void Send(const std::vector<uint8_t>& frame, int64_t tag, std::vector<Outcome>* out) {
    PacketPtr packet(av_packet_alloc());
    ASSERT_EQ(av_new_packet(packet.get(), static_cast<int>(frame.size())), 0);
    std::copy(frame.begin(), frame.end(), packet->data);
    packet->pts = tag;
    Outcome& o = (*out)[static_cast<size_t>(tag)];
    o.failed = avcodec_send_packet(ctx.get(), packet.get()) < 0;
    o.damaged = watch.TakeDamage();
    Drain(out);
  }
  void Drain(std::vector<Outcome>* out) {
    FramePtr f(av_frame_alloc());
    while (avcodec_receive_frame(ctx.get(), f.get()) == 0) {
      Outcome& o = (*out)[static_cast<size_t>(f->pts)];
      o.picture = true;
      o.flagged = f->decode_error_flags != 0 || (f->flags & AV_FRAME_FLAG_CORRUPT) != 0;
      for (int y = 0; y < f->height; ++y)
        o.luma.insert(o.luma.end(), f->data[0] + y * f->linesize[0],
                      f->data[0] + y * f->linesize[0] + f->width);
      av_frame_unref(f.get());
    }
  }
  // Sends the units, tagged with their index, and takes every picture.
  std::vector<Outcome> Decode(const std::vector<std::vector<uint8_t>>& units) {
    std::vector<Outcome> out(units.size());
    for (size_t i = 0; i < units.size(); ++i) Send(units[i], static_cast<int64_t>(i), &out);
    avcodec_send_packet(ctx.get(), nullptr);
    Drain(&out);
    return out;
  }
  DamageWatch watch;  // outlives the context
  CodecContextPtr ctx;
  bool ok = false;
};

// Frames damaged, P frames all: what comes before the first stays intact.
constexpr size_t kDamaged[] = {3, 12, 21};

class DamageTest : public ::testing::TestWithParam<std::tuple<Kind, int, Damage>> {};

// The intact clip first: never flagged, and what the damaged one is held against.
TEST_P(DamageTest, IntactPicturesAreNeverFlaggedAndEveryDamagedOneIsCaught) {
  const auto& [kind, threads, damage] = GetParam();
  auto units = LoadUnits(kind);
  ASSERT_GE(units.size(), kind.frames);
  units.resize(kind.frames);
  Watched intact(IdOf(kind.codec), threads);
  ASSERT_TRUE(intact.ok);
  const auto clean = intact.Decode(units);
  for (size_t i = 0; i < clean.size(); ++i) {
    EXPECT_TRUE(clean[i].picture) << "frame " << i;
    EXPECT_FALSE(clean[i].failed || clean[i].damaged || clean[i].flagged) << "frame " << i;
  }
  for (size_t i : kDamaged)
    if (!Apply(damage, kind.codec, &units[i])) GTEST_SKIP() << "no such damage for this stream";
  if (!kind.damage_seen) GTEST_SKIP() << "HEVC without picture hashes: damage goes unseen";
  // The key frame again at the end: the decoder must take it up as if nothing had happened.
  units.push_back(units[0]);

  Watched d(IdOf(kind.codec), threads);
  ASSERT_TRUE(d.ok);
  auto out = d.Decode(units);
  for (size_t i = 0; i < kDamaged[0]; ++i)
    EXPECT_FALSE(out[i].failed || out[i].damaged || out[i].flagged) << "frame " << i;
  for (size_t i : kDamaged) {
    const auto& o = out[i];
    const bool wrong = o.picture && o.luma != clean[i].luma;
    EXPECT_TRUE(!wrong || o.failed || o.damaged || o.flagged)
        << "frame " << i << " came out wrong and unflagged";
  }
  const auto& again = out.back();
  EXPECT_TRUE(again.picture && again.luma == clean[0].luma);
  EXPECT_FALSE(again.failed || again.damaged || again.flagged);
}

std::string KindName(const Kind& k, int threads) {
  return std::string(k.name) + (threads == 1 ? "OneThread" : "SliceThreads");
}

constexpr const char* kDamageNames[] = {"Flip", "Truncate", "DropSlice"};  // by Damage

INSTANTIATE_TEST_SUITE_P(Clips, DamageTest,
                         ::testing::Combine(::testing::ValuesIn(kKinds), ::testing::Values(1, 2),
                                            ::testing::Values(Damage::kFlip, Damage::kTruncate,
                                                              Damage::kDropSlice)),
                         [](const auto& info) {
                           return KindName(std::get<0>(info.param), std::get<1>(info.param)) +
                                  kDamageNames[static_cast<int>(std::get<2>(info.param))];
                         });

// Two decoders at once keep their damage apart: the watch holds no state of its own elsewhere.
TEST(DamageWatchTest, TwoContextsKeepTheirDamageApart) {
  const Kind& kind = kKinds[1];
  auto units = LoadUnits(kind);
  auto damaged = units;
  ASSERT_TRUE(Apply(Damage::kDropSlice, kind.codec, &damaged[2]));
  Watched a(AV_CODEC_ID_H264, 2), b(AV_CODEC_ID_H264, 2);
  ASSERT_TRUE(a.ok && b.ok);
  std::vector<Watched::Outcome> out_a(4), out_b(4);
  for (int64_t i = 0; i < 4; ++i) {
    a.Send(damaged[static_cast<size_t>(i)], i, &out_a);
    b.Send(units[static_cast<size_t>(i)], i, &out_b);
  }
  EXPECT_TRUE(out_a[2].damaged);
  for (const auto& o : out_b) EXPECT_FALSE(o.damaged);
}

TEST(DamageWatchTest, AnOpaqueTakenByAnotherIsLeftAlone) {
  CodecContextPtr ctx(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264)));
  int mine = 0;
  ctx->opaque = &mine;
  auto* execute = ctx->execute;
  DamageWatch watch;
  EXPECT_FALSE(watch.Attach(ctx.get()));
  EXPECT_EQ(ctx->opaque, &mine);
  EXPECT_EQ(ctx->execute, execute);
  EXPECT_FALSE(watch.TakeDamage());
}

// A stream whose coding tree blocks grow at the same picture size ends its pictures earlier:
// the first of them may be taken for damage, never the ones after it.
TEST(DamageWatchTest, PicturesEndingEarlierForGoodAreLearnt) {
  auto units = LoadUnits({"", "hevc_ctu32_320x240.h265", Codec::kHevc, 30});
  const size_t switched = units.size();
  for (auto& u : LoadUnits(kKinds[3])) units.push_back(std::move(u));
  Watched d(AV_CODEC_ID_HEVC, 2);
  ASSERT_TRUE(d.ok);
  auto out = d.Decode(units);
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_TRUE(out[i].picture && !out[i].failed && !out[i].flagged) << "frame " << i;
    if (i != switched) {
      EXPECT_FALSE(out[i].damaged) << "frame " << i;
    }
  }
}

TEST(DecoderThreadsTest, OneSliceH264OpensWithOneThread) {
  auto one = LoadUnits(kKinds[0]), four = LoadUnits(kKinds[1]), hevc = LoadUnits(kKinds[2]);
  EXPECT_EQ(CountSlices(AV_CODEC_ID_H264, one[0]), 1);
  EXPECT_EQ(CountSlices(AV_CODEC_ID_H264, four[0]), 4);
  EXPECT_EQ(DecoderThreads(AV_CODEC_ID_H264, one[0], 2), 1);
  EXPECT_EQ(DecoderThreads(AV_CODEC_ID_H264, four[0], 2), 2);
  // Parameter sets alone: the setting stands.
  const std::vector<uint8_t> sps_only(one[0].begin(), one[0].begin() + 4 + 16);
  ASSERT_EQ(CountSlices(AV_CODEC_ID_H264, sps_only), 0);
  EXPECT_EQ(DecoderThreads(AV_CODEC_ID_H264, sps_only, 2), 2);
  // Wavefronts share one slice out among threads.
  EXPECT_EQ(DecoderThreads(AV_CODEC_ID_HEVC, hevc[0], 2), 2);
}

}  // namespace
