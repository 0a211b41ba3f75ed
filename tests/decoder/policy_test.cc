// The key-frame policy alone, by its transitions: scripted frames and pictures, a clock the
// test moves, no thread and no decoder.
#include "key_frame_policy.h"

#include "decode_report.h"

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log/log_capture.h"

namespace {

using State = KeyFramePolicy::State;
using Arrival = KeyFramePolicy::Arrival;

class KeyFramePolicyTest : public ::testing::Test {
 protected:
  // Runs a script of space-separated events, in order:
  //   <index><kind>  a frame arrives; kinds: I IDR with parameter sets, i IDR alone, C CRA,
  //                  O I picture with a recovery point (open GOP), Q I picture while one
  //                  reference frame is kept, R<n> a refresh point n frames before its recovery
  //                  picture, P or B a predicted picture, b one nothing references, S
  //                  parameter sets without a slice; "@<n>" after the kind sets frame_num
  //   ><index>       the picture of the frame with that index comes out
  //   !<index>       it comes out corrupt
  //   d<index>       the decoder saw damage in that frame while decoding it
  //   x              the decoder rejected the last frame
  //   +<ms>          the clock moves on
  // frame_num is the index modulo 16 unless set.
  void Run(const std::string& script) {
    std::istringstream in(script);
    for (std::string e; in >> e;) {
      const char c = e[0];
      if (c == '+') {
        now_ += std::stoul(e.substr(1));
      } else if (c == 'x') {
        asks_ += policy_.OnRejected(now_);
      } else if (c == '>' || c == '!') {
        const uint32_t index = std::stoul(e.substr(1));
        auto v = policy_.OnPicture(seq_of_.at(index), c == '!', now_);
        asks_ += v.ask;
        if (v.publish) published_.push_back(index);
      } else if (c == 'd') {
        asks_ += policy_.OnDamaged(seq_of_.at(std::stoul(e.substr(1))), now_);
      } else {
        size_t kind_at = e.find_first_not_of("0123456789");
        const uint32_t index = std::stoul(e.substr(0, kind_at));
        const KeyFramePolicy::FrameVerdict v =
            policy_.OnFrame(seq_, index, Facts(e, kind_at), now_);
        arrivals_.push_back(v.arrival);
        asks_ += v.ask;
        if (v.decode) seq_of_[index] = seq_++;
      }
    }
  }
  static FrameFacts Facts(const std::string& e, size_t at) {
    FrameFacts f;
    const char kind = e[at];
    f.has_slice = kind != 'S';
    f.slices = f.has_slice;
    f.parameter_sets = kind == 'I' || kind == 'S';
    f.max_frame_num = 16;
    f.frame_num_counts_references = true;
    f.reference = kind != 'b';
    const size_t set = e.find('@');
    f.frame_num =
        set != std::string::npos ? std::stoul(e.substr(set + 1)) : std::stoul(e.substr(0, at)) % 16;
    static const std::map<char, RecoveryKind> kRecovery = {
        {'I', RecoveryKind::kIdr},       {'i', RecoveryKind::kIdr},
        {'C', RecoveryKind::kIrap},      {'O', RecoveryKind::kIntraWithSei},
        {'Q', RecoveryKind::kIntraOnly}, {'R', RecoveryKind::kRefresh}};
    if (auto k = kRecovery.find(kind); k != kRecovery.end()) f.recovery = k->second;
    if (kind == 'R') f.recovery_frames = std::stoul(e.substr(at + 1));
    return f;
  }

  KeyFramePolicy policy_;
  NORV::sLog::LogCapture capture_;
  uint32_t now_ = 100000;
  int64_t seq_ = 0;
  std::map<uint32_t, int64_t> seq_of_;  // the last decoded frame of each index
  std::vector<uint32_t> published_;
  std::vector<Arrival> arrivals_;
  int asks_ = 0;
};

TEST_F(KeyFramePolicyTest, WaitingAsksAtMostEvery300msAndAKeyFrameStreamsFromItsPicture) {
  Run("1P +100 2P +200 3P +1 4P");
  EXPECT_EQ(asks_, 2) << "at 1, then more than 300 ms later at 4";
  EXPECT_EQ(policy_.state(), State::kWaiting);
  Run("5I");
  EXPECT_EQ(policy_.state(), State::kRecovering);
  EXPECT_EQ(capture_.Count("recv i frame, frameidx=5"), 1u);
  Run(">1 >5 6P >6");
  EXPECT_EQ(policy_.state(), State::kStreaming);
  EXPECT_EQ(published_, (std::vector<uint32_t>{5, 6}));
  EXPECT_EQ(asks_, 2);
}

// Pictures decoded before a gap were whole; leading pictures of the next key frame are not,
// also when the gap is right in front of it.
TEST_F(KeyFramePolicyTest, AGapAsksAtOnceWithholdsLeadingPicturesAndKeepsWhatCameBefore) {
  Run("1I >1 2P 3B >3 5P");  // 4 lost: 2 is still held
  EXPECT_EQ(capture_.Count("request i frame,drop frame,last frame=3 frameidx=5"), 1u);
  EXPECT_EQ(asks_, 1);
  EXPECT_EQ(policy_.state(), State::kWaiting);
  Run(">2 >5 9C 10B 11B >10 >11 >9 12P >12");  // 6 to 8 lost in front of the CRA
  EXPECT_EQ(published_, (std::vector<uint32_t>{1, 3, 2, 9, 12}));
  EXPECT_EQ(policy_.state(), State::kStreaming);
  const KeyFramePolicy::Stats stats = policy_.TakeStats();
  EXPECT_EQ(stats.withheld[static_cast<int>(KeyFramePolicy::Withheld::kLeading)], 2u);
  EXPECT_EQ(stats.withheld[static_cast<int>(KeyFramePolicy::Withheld::kWaiting)], 1u);
  EXPECT_EQ(stats.breaks, 1u);
}

TEST_F(KeyFramePolicyTest, OpenGopAndIntraOnlyPicturesAreRecoveryPoints) {
  for (const char* key : {"O", "Q"}) {
    SCOPED_TRACE(key);
    policy_.Reset();
    published_.clear();
    Run(std::string("1P 2P 3") + key + " 4B >4 >3 5P >5");
    EXPECT_EQ(published_, (std::vector<uint32_t>{3, 5}));
  }
}

// A late or repeated frame is never decoded, and what was decoded without it stays whole.
TEST_F(KeyFramePolicyTest, FramesSteppingBackAreLateUnlessTheyRestartTheRun) {
  Run("1I >1 2P >2 3P 2P 3P >3 4P >4");
  EXPECT_EQ(arrivals_[3], Arrival::kSteppedBack);
  EXPECT_EQ(arrivals_[4], Arrival::kSteppedBack);
  EXPECT_EQ(published_, (std::vector<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(policy_.state(), State::kStreaming);
  EXPECT_EQ(policy_.TakeStats().withheld[static_cast<int>(KeyFramePolicy::Withheld::kLate)], 2u);
  EXPECT_EQ(asks_, 0);
  // Back to index 1 with a key frame and its parameter sets: the sender started again. A key
  // frame without them is only late.
  Run("2i 1I >1 2P >2");
  EXPECT_EQ(arrivals_[6], Arrival::kSteppedBack);
  EXPECT_EQ(arrivals_[7], Arrival::kNewRun);
  EXPECT_EQ(published_, (std::vector<uint32_t>{1, 2, 3, 4, 1, 2}));
}

TEST_F(KeyFramePolicyTest, FramesWithoutASliceFillTheirIndexButNotAGapBeforeThem) {
  Run("1I >1 2S 3P >3 4S 5S 6P >6");
  EXPECT_EQ(arrivals_[1], Arrival::kNoSlice);
  EXPECT_EQ(published_, (std::vector<uint32_t>{1, 3, 6}));
  EXPECT_EQ(asks_, 0);
  Run("8S 9P");  // 7 lost in front of the parameter sets
  EXPECT_EQ(policy_.state(), State::kWaiting);
  EXPECT_EQ(asks_, 1);
}

// frame_num tells when every lost frame was one that nothing references: only those are lost.
TEST_F(KeyFramePolicyTest, LosingOnlyNonReferenceFramesIsNoBreak) {
  // 3 and 6 were frames nothing referenced; 8, lost too, was a reference frame (frame_num 4).
  Run("1I@0 >1 2P@1 >2 4P@2 >4 5b@3 7P@3 >7 9P@5");
  EXPECT_EQ(arrivals_[2], Arrival::kAfterNonReferenceGap);
  EXPECT_EQ(arrivals_[4], Arrival::kAfterNonReferenceGap);
  EXPECT_EQ(arrivals_[5], Arrival::kAfterGap);
  EXPECT_EQ(published_, (std::vector<uint32_t>{1, 2, 4, 7}));
  EXPECT_EQ(asks_, 1);
}

// Intra refresh: whole from the picture whose frame_num is recovery_frames on (modulo
// max_frame_num), not before; a loss during the refresh waits for the next one.
TEST_F(KeyFramePolicyTest, IntraRefreshPublishesFromItsRecoveryPictureOn) {
  Run("14R3 >14 15P >15 16P >16 17P >17 18P >18");
  EXPECT_EQ(published_, (std::vector<uint32_t>{17, 18})) << "frame_num 14 + 3 wraps to 1";
  Run("19R2 >19 21P 22P >21 >22 23R2 >23 24P >24 25P >25");
  EXPECT_EQ(published_, (std::vector<uint32_t>{17, 18, 19, 25}));
  EXPECT_EQ(policy_.state(), State::kStreaming);
}

// A corrupt picture breaks what was decoded after its frame, but a key frame decoded after
// it is a way back of its own, even when the picture comes out late (reordering delay).
TEST_F(KeyFramePolicyTest, ACorruptPictureBreaksOnlyUntilTheNextKeyFrame) {
  Run("1I >1 2P 3B >3 4I 5B !2 >5 >4 6P >6");
  EXPECT_EQ(published_, (std::vector<uint32_t>{1, 3, 4, 6}));
  EXPECT_EQ(capture_.Count("corrupt picture, frameidx=2"), 1u);
  Run("+400 7P d7 8P >7 >8");
  EXPECT_EQ(policy_.state(), State::kWaiting);
  EXPECT_EQ(published_.size(), 4u);
  EXPECT_EQ(asks_, 2) << "one for the corrupt picture, one for the damage 300 ms later";
}

TEST_F(KeyFramePolicyTest, ARejectionForgetsWhatTheDecoderHeldAndTheRecoveryPictureMustComeOut) {
  Run("1I >1 2P x 3P 4I 5P >5 >4");
  EXPECT_EQ(published_, (std::vector<uint32_t>{1, 4}));
  EXPECT_EQ(asks_, 1);
  Run("+400 10P 11I 12P");
  policy_.OnNoPicture(seq_of_.at(11), now_);  // the key picture never came out
  EXPECT_EQ(capture_.Count("no picture of key frame 11"), 1u);
  EXPECT_EQ(policy_.state(), State::kWaiting);
}

TEST_F(KeyFramePolicyTest, StatisticsCountTheTimeBackAfterEachBreak) {
  Run("1I >1 3P +140 4I >4 +1000 6P +60 7I >7");
  const KeyFramePolicy::Stats stats = policy_.TakeStats();
  EXPECT_EQ(stats.published, 3u);
  EXPECT_EQ(stats.breaks, 2u);
  EXPECT_EQ(stats.back_after_ms, (std::vector<uint32_t>{140, 60}));
  EXPECT_EQ(PolicyLine(stats),
            "pictures 3 published, withheld: waiting 0 leading 0 late 0 corrupt 0; breaks 2, "
            "back after p50/max 60/140 ms");
  EXPECT_EQ(policy_.TakeStats().published, 0u) << "a new window";
}

}  // namespace
