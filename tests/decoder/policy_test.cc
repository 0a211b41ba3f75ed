// The key-frame policy of the decoder thread, with a scripted decoder, a recording publisher
// and a clock the test sets. Frames are pushed through the real slot and worker thread.
#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "VStreamDecoderThread.h"
#include "common/wait.h"
#include "log/log_capture.h"
#include "platform/clock.h"

namespace {

using testing_util::WaitUntil;

std::atomic<uint32_t> g_now{100000};
uint32_t TestClock() { return g_now.load(); }

// Decodes a frame whose first byte names its picture type ('I', 'P', 'B'); 'X' fails.
class ScriptedDecoder : public FrameDecoder {
 public:
  bool Decode(const uint8_t* data, size_t, std::vector<uint8_t>* picture, int* w, int* h,
              AVCodecID* id, int* type) override {
    ++decoded;
    *id = AV_CODEC_ID_H264;
    if (data[0] == 'X') return false;
    picture->assign(6, data[0]);
    *w = 2;
    *h = 2;
    *type = data[0] == 'I' ? 1 : data[0] == 'P' ? 2 : 3;
    return true;
  }
  std::atomic<int> decoded{0};
};

class RecordingPublisher : public FramePublisher {
 public:
  bool WriteTo(uint32_t idx, uint32_t, uint32_t, const std::vector<uint8_t>&) override {
    std::lock_guard<std::mutex> lock(mu);
    published.push_back(idx);
    return !fail;
  }
  std::vector<uint32_t> Published() {
    std::lock_guard<std::mutex> lock(mu);
    return published;
  }
  std::mutex mu;
  std::vector<uint32_t> published;
  bool fail = false;
};

class Requests : public NORV::sHelper::sigslot::has_slots<> {
 public:
  void OnRequest(int& result, uint32_t code, const void* body, uint32_t length) {
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(length, 0u);
    ++count;
    result = answer;
  }
  std::atomic<int> count{0};
  int answer = 7;
};

class PolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClockMsForTesting(&TestClock);
    ASSERT_TRUE(thread_.Start());
  }
  void TearDown() override {
    thread_.Stop(1000);
    platform::SetClockMsForTesting(nullptr);
  }
  // Pushes one frame and waits until the worker has finished its task: a task posted after it
  // runs only then.
  void Push(uint32_t idx, char type) {
    int before = decoder_.decoded.load();
    thread_.OnPushVFrame(idx, std::string(1, type) + "payload");
    std::atomic<bool> done{false};
    ASSERT_TRUE(thread_.PostTask([&done] { done = true; }));
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    ASSERT_EQ(decoder_.decoded.load(), before + 1);
  }
  void Advance(uint32_t ms) { g_now += ms; }

  ScriptedDecoder decoder_;
  RecordingPublisher publisher_;
  VStreamDecoderThread thread_{&decoder_, &publisher_, VStreamDecoderThread::Limits()};
  NORV::sLog::LogCapture capture_;
};

TEST_F(PolicyTest, PredictedFramesBeforeAKeyFrameAskAtMostEvery300ms) {
  Push(1, 'P');  // the process has run far longer than 300 ms
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet=-1"), 1u) << "no sender: -1";
  Advance(100);
  Push(2, 'P');
  Advance(200);
  Push(3, 'P');  // exactly 300 ms: not more than 300
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet="), 1u);
  Advance(1);
  Push(4, 'P');
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet="), 2u);
  EXPECT_TRUE(publisher_.Published().empty());
}

TEST_F(PolicyTest, KeyThenPredictedArePublishedAndAGapAsksAtOnce) {
  Requests requests;
  thread_.sig_tcp_send_.connect(&requests, &Requests::OnRequest);
  Push(10, 'I');
  Push(11, 'P');
  Push(12, 'P');
  EXPECT_EQ(capture_.Count("recv i frame, frameidx=10"), 1u);
  Push(14, 'P');  // 13 lost
  EXPECT_EQ(capture_.Count("request i frame,drop frame,last frame=12 frameidx=14"), 1u);
  EXPECT_EQ(requests.count.load(), 1);
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet=7"), 1u);
  Push(15, 'P');  // waiting again, within 300 ms of the request: discarded quietly
  EXPECT_EQ(requests.count.load(), 1);
  Push(20, 'I');
  Push(23, 'I');  // a gap before a key frame is fine
  Push(24, 'B');  // neither key nor predicted: accepted
  Push(500, 'P');
  EXPECT_EQ(requests.count.load(), 2) << "the gap 24 -> 500";
  Push(501, 'I');
  Push(0, 'P');  // the index restarted: a negative difference is accepted
  Push(1, 'P');
  EXPECT_EQ(publisher_.Published(), (std::vector<uint32_t>{10, 11, 12, 20, 23, 24, 501, 0, 1}));
}

TEST_F(PolicyTest, DecodeFailuresAskOnlyOutsideTheInterval) {
  Requests requests;
  thread_.sig_tcp_send_.connect(&requests, &Requests::OnRequest);
  Push(1, 'I');
  Push(2, 'X');  // fails: asks, back to waiting
  EXPECT_EQ(requests.count.load(), 1);
  Advance(100);
  Push(3, 'X');
  EXPECT_EQ(requests.count.load(), 1) << "100 ms after a request";
  Advance(300);
  Push(4, 'X');
  EXPECT_EQ(requests.count.load(), 2) << "400 ms after it";
  Push(5, 'P');
  EXPECT_EQ(publisher_.Published(), (std::vector<uint32_t>{1}));
}

TEST_F(PolicyTest, AFailedPublicationIsLoggedAndTheFrameStillCounts) {
  publisher_.fail = true;
  Push(1, 'I');
  Push(2, 'P');
  EXPECT_EQ(capture_.Count("[SDK] write to mem fail"), 2u);
  EXPECT_EQ(capture_.Count("request i frame,drop frame"), 0u);
}

TEST_F(PolicyTest, DecodeTimeIsReportedEveryThreeSeconds) {
  Push(1, 'I');
  Advance(3000);
  Push(2, 'P');
  EXPECT_EQ(capture_.Count("(ms/df)"), 1u);
}

// A blocked decoder and a fast stream: the queue stays bounded, drops are counted, and the
// stop does not wait for the backlog.
class BlockingDecoder : public ScriptedDecoder {
 public:
  bool Decode(const uint8_t* d, size_t s, std::vector<uint8_t>* p, int* w, int* h, AVCodecID* id,
              int* t) override {
    entered = true;
    WaitUntil([&] { return release.load(); }, std::chrono::seconds(20));
    return ScriptedDecoder::Decode(d, s, p, w, h, id, t);
  }
  std::atomic<bool> entered{false}, release{false};
};

TEST_F(PolicyTest, ARestartWithholdsPredictedFramesUntilAKeyFrame) {
  Push(10, 'I');
  Push(11, 'P');
  thread_.StopDecoding();
  ASSERT_TRUE(thread_.StartDecoding());
  Advance(1000);
  Push(12, 'P');
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet="), 1u);
  Push(20, 'I');
  Push(21, 'P');
  EXPECT_EQ(publisher_.Published(), (std::vector<uint32_t>{10, 11, 20, 21}));
}

TEST(DecoderQueueTest, BoundedBacklogDropsTheNewestAndStopsPromptly) {
  NORV::sLog::LogCapture capture;
  BlockingDecoder decoder;
  RecordingPublisher publisher;
  VStreamDecoderThread::Limits limits;
  limits.max_queued_frames = 8;
  VStreamDecoderThread thread(&decoder, &publisher, limits);
  ASSERT_TRUE(thread.Start());
  thread.OnPushVFrame(1, "Ikey");
  ASSERT_TRUE(WaitUntil([&] { return decoder.entered.load(); }));
  for (uint32_t i = 2; i < 100; ++i) thread.OnPushVFrame(i, "Ppredicted");
  EXPECT_EQ(thread.dropped_frames(), 90u);
  EXPECT_GE(capture.Count("decoder queue full, frames dropped so far: "), 1u);
  decoder.release = true;
  auto start = std::chrono::steady_clock::now();
  thread.Stop(1000);
  EXPECT_LT(testing_util::MillisSince(start), 1000);
  EXPECT_LE(decoder.decoded.load(), 2) << "the backlog is not decoded after the stop";
  thread.OnPushVFrame(200, "Pafter");  // no loop: dropped without effect
  // The backlog the stop discarded no longer counts: a restarted thread decodes again.
  ASSERT_TRUE(thread.Start());
  thread.OnPushVFrame(300, "Irestarted");
  EXPECT_TRUE(WaitUntil([&] {
    auto p = publisher.Published();
    return !p.empty() && p.back() == 300u;
  })) << "frames dropped after the restart: "
      << thread.dropped_frames() - 90;
  thread.Stop(1000);
}

}  // namespace
