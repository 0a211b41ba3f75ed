// Real clips through the decoder thread and the real decoder, sent whole or impaired as a live
// network does, with a sender that never answers a key-frame request: every published picture
// is the ffmpeg command's picture of its access unit, and pictures come back at the first
// recovery point the stream offers.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "VStreamDecoderThread.h"
#include "common/reference.h"
#include "common/wait.h"
#include "elementary_stream.h"
#include "log/log_capture.h"
#include "nal_units.h"
#include "video_decoder.h"

namespace {

using pellion_tools::Codec;

using testing_util::Reference;
using testing_util::ReferenceOf;

// The first access unit at or after `au` that decoding can start from; `fresh`: by a decoder
// that has seen no parameter sets yet.
size_t NextKey(const Reference& ref, size_t au, bool fresh = false) {
  while (
      au < ref.units.size() &&
      !(ref.units[au].key && (!fresh || CodecFromParameterSets(ref.Unit(au)) != AV_CODEC_ID_NONE)))
    ++au;
  return au;
}

class Recorder : public FramePublisher {
 public:
  bool WriteTo(uint32_t idx, uint32_t, uint32_t, const std::vector<uint8_t>& picture) override {
    std::lock_guard<std::mutex> lock(mu);
    published.emplace_back(idx, picture);
    return true;
  }
  std::mutex mu;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> published;
};

// How the network hands the clip over: access units by position, in arrival order. The
// frame index is the position plus one, as the sender numbers them.
enum class Mode { kWhole, kJoinedMidGop, kOneLost, kLostBeforeKey, kSwapped, kSentAgainLater };
constexpr size_t kAt = 10;  // where the impairment strikes: a GOP is 30 frames

struct Plan {
  std::vector<size_t> order;
  size_t broken_at = SIZE_MAX;  // the first access unit not decoded whole
};

Plan PlanFor(Mode mode, size_t units, size_t next_key_after_at) {
  Plan p;
  for (size_t au = 0; au < units; ++au) p.order.push_back(au);
  auto drop = [&](size_t from, size_t to) {
    p.order.erase(std::remove_if(p.order.begin(), p.order.end(),
                                 [&](size_t au) { return au >= from && au < to; }),
                  p.order.end());
    p.broken_at = from;
  };
  switch (mode) {
    case Mode::kWhole:
      break;
    case Mode::kJoinedMidGop:
      drop(0, kAt);
      p.broken_at = kAt;
      break;
    case Mode::kOneLost:
      drop(kAt, kAt + 1);
      break;
    case Mode::kLostBeforeKey:
      drop(next_key_after_at - 3, next_key_after_at);
      break;
    case Mode::kSwapped:
      std::swap(p.order[kAt], p.order[kAt + 1]);
      p.broken_at = kAt;
      break;
    case Mode::kSentAgainLater:
      // Late and never decoded: nothing that follows depends on the copy.
      p.order.insert(p.order.begin() + kAt + 13, kAt);
      break;
  }
  return p;
}

const char* ModeName(Mode m) {
  static const char* const names[] = {"Whole",         "JoinedMidGop", "OneLost",
                                      "LostBeforeKey", "Swapped",      "SentAgainLater"};
  return names[static_cast<int>(m)];
}

struct Result {
  std::set<size_t> shown;  // access units whose picture was published
  int wrong = 0;
};

// Sends the plan's frames through a decoder thread with a real decoder, then the clip's start
// again under the next indices, which lets out every picture still held.
void Stream(const Reference& ref, const Plan& plan, int threads, Result* r) {
  VideoDecoder decoder;
  decoder.set_threads(threads);
  Recorder recorder;
  {
    VStreamDecoderThread::Limits all;  // a whole clip queued at once
    all.max_queued_frames = 1000;
    VStreamDecoderThread thread(&decoder, &recorder, all);
    ASSERT_TRUE(thread.Start());
    auto push = [&](uint32_t index, std::span<const uint8_t> unit) {
      thread.OnPushVFrame(index, std::string(unit.begin(), unit.end()));
    };
    for (size_t au : plan.order) push(static_cast<uint32_t>(au + 1), ref.Unit(au));
    for (size_t au = 0; au < 3; ++au)
      push(static_cast<uint32_t>(ref.units.size() + 1 + au), ref.Unit(au));
    std::atomic<bool> done{false};
    ASSERT_TRUE(thread.PostTask([&] { done = true; }));
    ASSERT_TRUE(testing_util::WaitUntil([&] { return done.load(); }));
    thread.Stop(1000);
  }
  size_t shown_last = 0;
  for (const auto& [index, picture] : recorder.published) {
    const size_t au = index - 1;
    if (au >= ref.units.size()) continue;  // the closing frames
    EXPECT_TRUE(r->shown.insert(au).second) << "access unit " << au << " published twice";
    // A reordering stream comes out in display order, each picture under its own frame's index.
    if (plan.broken_at == SIZE_MAX) {
      EXPECT_GT(ref.DisplayPosition(au) + 1, shown_last) << "access unit " << au;
      shown_last = ref.DisplayPosition(au) + 1;
    }
    const std::span<const uint8_t> want = ref.Picture(au);
    if (picture.size() != want.size() ||
        std::memcmp(picture.data(), want.data(), want.size()) != 0) {
      ++r->wrong;
      ADD_FAILURE() << "access unit " << au << " differs from the ffmpeg decode";
    }
  }
}

using Param = std::tuple<const char*, Mode, int>;  // clip, mode, decoder threads

class RecoveryTest : public ::testing::TestWithParam<Param> {};

TEST_P(RecoveryTest, PublishedPicturesAreExactAndComeBackAtTheFirstRecoveryPoint) {
  const auto [clip, mode, threads] = GetParam();
  const Reference& ref = ReferenceOf(clip);
  ASSERT_FALSE(ref.units.empty()) << "no reference for " << clip;
  const size_t key_after = NextKey(ref, kAt + 1);
  ASSERT_LT(key_after, ref.units.size()) << "no key frame after the impairment";
  const Plan plan = PlanFor(mode, ref.units.size(), key_after);
  NORV::sLog::LogCapture capture;
  Result r;
  ASSERT_NO_FATAL_FAILURE(Stream(ref, plan, threads, &r));
  size_t back_at = SIZE_MAX;
  if (plan.broken_at != SIZE_MAX) {
    auto first = r.shown.lower_bound(plan.broken_at);
    back_at = first == r.shown.end() ? ref.units.size() : *first;
  }
  std::printf("%-30s %-14s %d thread(s): %zu sent, %zu published, %d wrong, back at %zd\n", clip,
              ModeName(mode), threads, plan.order.size(), r.shown.size(), r.wrong,
              back_at == SIZE_MAX ? -1 : static_cast<ssize_t>(back_at));
  EXPECT_EQ(r.wrong, 0);
  if (plan.broken_at == SIZE_MAX) {
    EXPECT_EQ(r.shown.size(), ref.units.size()) << "a stream without a break loses nothing";
  } else {
    // Frames nothing references may be lost without a break (H.264 frame_num tells). A stream
    // joined late needs a key frame with parameter sets; some encoders send them only once.
    EXPECT_LE(back_at, NextKey(ref, plan.broken_at, mode == Mode::kJoinedMidGop))
        << "not back at the first recovery point";
    // From there on, nothing is lost but the recovery point's leading pictures.
    const size_t key_shown_at = back_at < ref.units.size() ? ref.DisplayPosition(back_at) : 0;
    for (size_t au = back_at; au < ref.units.size(); ++au) {
      if (ref.DisplayPosition(au) > key_shown_at) {
        EXPECT_EQ(r.shown.count(au), 1u) << "access unit " << au;
      }
    }
  }
  // A stream joined late has predicted frames before any parameter sets to name its codec.
  if (mode != Mode::kJoinedMidGop) {
    EXPECT_EQ(capture.Count("miss codec"), 0u);
  }
}

// An H.264 frame that nothing references costs only itself: frame_num shows that no
// reference frame went with it.
TEST(NonReferenceLossTest, LosingAFrameNothingReferencesCostsOnlyThatFrame) {
  const Reference& ref = ReferenceOf("h264_bpyramid_640x360.h264");
  ASSERT_FALSE(ref.units.empty());
  size_t lost = kAt;
  auto unreferenced = [&](size_t au) {
    // The first slice's header: nal_ref_idc 0.
    std::span<const uint8_t> u = ref.Unit(au);
    for (size_t i = 0; i + 3 < u.size(); ++i)
      if (u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 1 && ((u[i + 3] & 0x1F) == 1))
        return (u[i + 3] & 0x60) == 0;
    return false;
  };
  while (lost < ref.units.size() && !unreferenced(lost)) ++lost;
  ASSERT_LT(lost, NextKey(ref, kAt + 1)) << "no frame nothing references in the GOP";
  Plan plan = PlanFor(Mode::kWhole, ref.units.size(), 0);
  plan.order.erase(plan.order.begin() + static_cast<std::ptrdiff_t>(lost));
  Result r;
  ASSERT_NO_FATAL_FAILURE(Stream(ref, plan, 2, &r));
  EXPECT_EQ(r.wrong, 0);
  EXPECT_EQ(r.shown.size(), ref.units.size() - 1);
  EXPECT_EQ(r.shown.count(lost), 0u);
}

// Intra refresh: one IDR, then predicted frames whose refresh waves carry a recovery point.
// Joined late or after a loss, pictures come back within one refresh period, bit-exact.
class IntraRefreshTest : public ::testing::TestWithParam<std::tuple<const char*, Mode>> {};

TEST_P(IntraRefreshTest, PicturesComeBackWithinOneRefreshPeriod) {
  const auto [clip, mode] = GetParam();
  const Reference& ref = ReferenceOf(clip);
  ASSERT_FALSE(ref.units.empty()) << "no reference for " << clip;
  const Plan plan = PlanFor(mode, ref.units.size(), 0);
  Result r;
  ASSERT_NO_FATAL_FAILURE(Stream(ref, plan, 2, &r));
  auto first = r.shown.lower_bound(plan.broken_at);
  ASSERT_NE(first, r.shown.end()) << "never back";
  std::printf("%-36s %-14s %zu published, %d wrong, back at %zu\n", clip, ModeName(mode),
              r.shown.size(), r.wrong, *first);
  EXPECT_EQ(r.wrong, 0);
  EXPECT_LE(*first, plan.broken_at + 2 * 30) << "a refresh period is 30 frames";
  EXPECT_EQ(r.shown.count(ref.units.size() - 1), 1u) << "streaming again at the end";
}

INSTANTIATE_TEST_SUITE_P(Clips, IntraRefreshTest,
                         ::testing::Combine(::testing::Values("h264_intrarefresh_320x240.h264",
                                                              "gst_x264_intrarefresh_320x240.h264"),
                                            ::testing::Values(Mode::kJoinedMidGop, Mode::kOneLost)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)).substr(0, 4) == "gst_"
                                      ? std::string("Gst") + ModeName(std::get<1>(info.param))
                                      : std::string("Ffmpeg") + ModeName(std::get<1>(info.param));
                         });

INSTANTIATE_TEST_SUITE_P(
    Clips, RecoveryTest,
    ::testing::Combine(::testing::Values("h264_640x360.h264", "h264_bpyramid_640x360.h264",
                                         "hevc_640x360.h265", "hevc_opengop_640x360.h265",
                                         "h264_opengop_320x240.h264", "gst_openh264_320x240.h264",
                                         "gst_x264_320x240.h264", "gst_x265_320x240.h265"),
                       ::testing::Values(Mode::kWhole, Mode::kJoinedMidGop, Mode::kOneLost,
                                         Mode::kLostBeforeKey, Mode::kSwapped,
                                         Mode::kSentAgainLater),
                       ::testing::Values(1, 2)),
    [](const auto& info) {
      std::string clip = std::get<0>(info.param);
      std::string name;
      for (char c : clip.substr(0, clip.find('.')))
        if (std::isalnum(static_cast<unsigned char>(c))) name += c;
      return name + ModeName(std::get<1>(info.param)) +
             (std::get<2>(info.param) == 1 ? "OneThread" : "SliceThreads");
    });

}  // namespace
