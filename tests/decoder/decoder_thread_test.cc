// The decoder thread's wiring, with a scripted decoder, a recording publisher
// and a clock the test sets. Frames are pushed through the real slot and worker thread.
#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureFile.h"
#include "MetaUdpServer.h"
#include "VStreamDecoderThread.h"
#include "common/file_text.h"
#include "common/stream_packet.h"
#include "common/wait.h"
#include "log/log_capture.h"
#include "log/rate_limit.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace {

using testing_util::WaitUntil;

std::atomic<uint32_t> g_now{100000};

using testing_util::Packet;
uint32_t TestClock() { return g_now.load(); }

// A decoder scripted by the frames' bytes: the first names the picture type ('I' key, 'P', 'B';
// 'S' parameter sets only, no picture; 'X' is rejected). "@N" sets the picture's place in
// display order (default: its arrival); '!' marks it corrupt. It holds `delay` pictures back
// and lets out the earliest in display order, as a reordering decoder does.
class ScriptedDecoder : public FrameDecoder {
 public:
  struct Held {
    int64_t tag;
    long display;
    char type;
    bool corrupt;
  };
  FrameFacts Describe(std::span<const uint8_t> frame) override {
    FrameFacts f;
    f.has_slice = !frame.empty() && frame[0] != 'S';
    f.slices = f.has_slice ? 1 : 0;
    f.parameter_sets = !frame.empty() && (frame[0] == 'S' || frame[0] == 'I');
    if (!frame.empty() && frame[0] == 'I') f.recovery = RecoveryKind::kIdr;
    return f;
  }
  bool Send(const uint8_t* data, size_t size, int64_t tag, FrameInfo* info) override {
    ++decoded;
    // Work that takes time, for the stage figures.
    for (int64_t end = platform::NowMicros() + busy_us; platform::NowMicros() < end;) {
    }
    std::string frame(reinterpret_cast<const char*>(data), size);
    if (frame[0] == 'X') return false;
    info->has_slice = frame[0] != 'S';
    info->key = frame[0] == 'I';
    if (!info->has_slice) return true;
    size_t at = frame.find('@');
    long display =
        at == std::string::npos ? static_cast<long>(tag) : std::stol(frame.substr(at + 1));
    held.push_back({tag, display, frame[0], frame.find('!') != std::string::npos});
    return true;
  }
  ReceiveStatus Receive(DecodedPicture* p) override {
    if (held.size() <= static_cast<size_t>(delay.load())) return ReceiveStatus::kNone;
    auto it = std::min_element(held.begin(), held.end(),
                               [](const Held& a, const Held& b) { return a.display < b.display; });
    p->tag = it->tag;
    p->width = p->height = 2;
    p->picture_type = it->type == 'I' ? 1 : it->type == 'P' ? 2 : 3;
    p->corrupt = it->corrupt;
    p->codec_id = AV_CODEC_ID_H264;
    last = it->type;
    held.erase(it);
    return ReceiveStatus::kPicture;
  }
  // Filled with the picture's type.
  struct Picture : DecodedFrame {
    explicit Picture(char t) : type(t) {}
    bool ConvertInto(uint8_t* dst) override {
      std::fill(dst, dst + 6, static_cast<uint8_t>(type));
      return true;
    }
    char type;
  };
  std::unique_ptr<DecodedFrame> TakePicture() override { return std::make_unique<Picture>(last); }
  void Flush() override {
    held.clear();
    ++flushes;
  }
  std::atomic<int> decoded{0}, flushes{0}, delay{0}, busy_us{0};
  std::deque<Held> held;
  char last = 0;
};

class RecordingPublisher : public FramePublisher {
 public:
  bool WriteTo(uint32_t idx, uint32_t, uint32_t, const std::vector<uint8_t>&) override {
    std::lock_guard<std::mutex> lock(mu);
    published.push_back(idx);
    return !fail;
  }
  // Held while `hold` is set; notes the thread it runs on.
  bool Publish(uint32_t idx, uint32_t w, uint32_t h, const Fill& fill) override {
    thread = platform::GetCurrentThreadId();
    ++entered;
    WaitUntil([&] { return !hold.load(); }, std::chrono::seconds(20));
    return FramePublisher::Publish(idx, w, h, fill);
  }
  std::atomic<bool> hold{false};
  std::atomic<int> entered{0};
  std::atomic<platform::DWORD> thread{0};
  std::vector<uint32_t> Published() {
    std::lock_guard<std::mutex> lock(mu);
    return published;
  }
  std::mutex mu;
  std::vector<uint32_t> published;
  bool fail = false;
};

class PolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every test starts in a rate-limit window of its own: the limiters outlive a test.
    g_now += NORV::sLog::LogRateLimit::kWindowMs;
    platform::SetClockMsForTesting(&TestClock);
    ASSERT_TRUE(thread_.Start());
  }
  void TearDown() override {
    publisher_.hold = false;
    thread_.Stop(1000);
    platform::SetClockMsForTesting(nullptr);
  }
  // Pushes one frame and waits until the worker has finished its task: a task posted after it
  // runs only then.
  void Push(uint32_t idx, char type) { Push(idx, std::string(1, type) + "payload"); }
  void Push(uint32_t idx, const std::string& frame) {
    thread_.OnPushVFrame(idx, frame);
    Settle();
  }
  // Until the decoder thread has run what came before, and the publisher what it handed over.
  void Settle() {
    std::atomic<bool> done{false};
    ASSERT_TRUE(thread_.PostTask(
        [&] { thread_.publisher_thread_for_testing().PostTask([&done] { done = true; }); }));
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
  }
  // "1:I@0 2:P@3 ...": index and frame, in arrival order.
  void PushAll(const std::string& script) {
    std::istringstream in(script);
    for (std::string item; in >> item;) {
      size_t colon = item.find(':');
      Push(static_cast<uint32_t>(std::stoul(item.substr(0, colon))), item.substr(colon + 1));
    }
  }
  void Advance(uint32_t ms) { g_now += ms; }
  // Holds the decoder thread until the returned call: frames pushed meanwhile wait in its queue.
  std::function<void()> HoldDecoder() {
    auto open = std::make_shared<std::atomic<bool>>(false);
    EXPECT_TRUE(thread_.PostTask(
        [open] { WaitUntil([&] { return open->load(); }, std::chrono::seconds(20)); }));
    return [open] { *open = true; };
  }

  ScriptedDecoder decoder_;
  RecordingPublisher publisher_;
  VStreamDecoderThread thread_{&decoder_, &publisher_, VStreamDecoderThread::Limits()};
  NORV::sLog::LogCapture capture_;
};

// The policy's own test has the 300 ms bound to the millisecond: here, that the thread's clock
// reaches it.
TEST_F(PolicyTest, PredictedFramesBeforeAKeyFrameAskAtMostEvery300ms) {
  Push(1, 'P');  // the process has run far longer than 300 ms
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet=-1"), 1u) << "no sender: -1";
  Advance(300);
  Push(2, 'P');
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet="), 1u);
  Advance(1);
  Push(3, 'P');
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet="), 2u);
  EXPECT_TRUE(publisher_.Published().empty());
}

// With a frame waiting, picture n is converted and published on a thread of its own while frame
// n+1 decodes. One picture waits in the slot, and the decoder waits behind it: nothing is dropped
// and nothing overtakes. A picture with nothing behind it is published at once where it was
// decoded.
TEST_F(PolicyTest, PublicationOverlapsTheNextDecodeAndTheSlotHoldsOnePicture) {
  publisher_.hold = true;
  const auto release = HoldDecoder();
  for (uint32_t i = 1; i <= 4; ++i) thread_.OnPushVFrame(i, i == 1 ? "Ipayload" : "Ppayload");
  release();
  ASSERT_TRUE(
      WaitUntil([&] { return publisher_.entered.load() == 1 && decoder_.decoded.load() == 3; }));
  EXPECT_EQ(decoder_.decoded.load(), 3) << "frame 4 waits behind picture 3, picture 2 in the slot";
  EXPECT_NE(publisher_.thread.load(), thread_.thread_id());
  publisher_.hold = false;
  Settle();
  EXPECT_EQ(publisher_.Published(), (std::vector<uint32_t>{1, 2, 3, 4}));
  Push(5, 'P');
  EXPECT_EQ(publisher_.thread.load(), thread_.thread_id());
  EXPECT_EQ(publisher_.Published().size(), 5u);
}

// A publication that does not end holds up neither the decoder's stop nor the next start: the
// publisher's stop runs out within the decoder's limit, and what waited for it is not
// published after the stop.
TEST_F(PolicyTest, AStuckPublicationStopsWithinTheDecodersLimitAndARestartPublishesAgain) {
  publisher_.hold = true;
  const auto release = HoldDecoder();
  thread_.OnPushVFrame(1, "Ipayload");
  thread_.OnPushVFrame(2, "Ppayload");
  release();
  ASSERT_TRUE(
      WaitUntil([&] { return publisher_.entered.load() == 1 && decoder_.decoded.load() == 2; }));
  thread_.StopDecoding();
  EXPECT_EQ(capture_.Count("[VFramePublisher]"), 1u) << "the publisher's stop ran out";
  EXPECT_EQ(capture_.Count("[VStreamDecoderThread]"), 0u) << "within the decoder's own";
  publisher_.hold = false;
  ASSERT_TRUE(thread_.StartDecoding());
  Push(5, 'I');
  EXPECT_EQ(publisher_.Published(), (std::vector<uint32_t>{1, 5}));
  thread_.StopDecoding();
}

TEST_F(PolicyTest, AFailedPublicationIsLoggedAndTheFrameStillCounts) {
  publisher_.fail = true;
  Push(1, 'I');
  Push(2, 'P');
  EXPECT_EQ(capture_.Count("[SDK] write to mem fail"), 2u);
  EXPECT_EQ(capture_.Count("request i frame,drop frame"), 0u);
}

// A stream that keeps losing frames: five lines of each kind per window, and the next line
// says how many were left out.
TEST_F(PolicyTest, AFloodOfGapsLogsAFewLinesAndCountsTheRest) {
  for (uint32_t i = 0; i < 40; ++i) {
    Push(10 * i + 1, 'I');
    Push(10 * i + 3, 'P');
    Push(10 * i + 4, 'X');
  }
  EXPECT_EQ(capture_.Count("request i frame,drop frame,last frame="), 5u);
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet="), 5u);
  Advance(NORV::sLog::LogRateLimit::kWindowMs);
  capture_.Clear();
  Push(401, 'I');
  Push(403, 'P');
  const auto gap = capture_.Matching("request i frame,drop frame,last frame=401 frameidx=403");
  ASSERT_EQ(gap.size(), 1u);
  EXPECT_NE(gap[0].text.find(" and 35 more in the last 3 s"), std::string::npos) << gap[0].text;
}

// The stage figures of the line, by name: p50, p99, max in ms.
std::map<std::string, std::array<double, 3>> StageFigures(const std::string& line) {
  std::map<std::string, std::array<double, 3>> out;
  std::regex part(R"(([a-z]+) ([0-9.]+)/([0-9.]+)/([0-9.]+))");
  for (std::sregex_iterator it(line.begin(), line.end(), part), end; it != end; ++it)
    out[(*it)[1]] = {std::stod((*it)[2]), std::stod((*it)[3]), std::stod((*it)[4])};
  return out;
}

// Every three seconds, and only then: the decode time, and the stage latency of the pictures
// published in the window.
TEST_F(PolicyTest, StageLatencyOfPublishedPicturesIsReportedBesideTheDecodeTime) {
  // Frames through a receiver of the test's own: the first datagram of each comes 2 ms before
  // the last, and the decoder takes 3 ms.
  auto receiver = std::make_shared<MetaUdpServer>();
  // The test's source is the receiver's current one before the decoder listens.
  receiver->OnRead("127.0.0.1", 5000, Packet(1000, 0, true, testing_util::kStreamStart));
  thread_.ConnectTo(receiver);
  decoder_.busy_us = 3000;
  auto send = [&](uint32_t idx, const std::string& frame) {
    const int before = decoder_.decoded.load();
    receiver->OnRead("127.0.0.1", 5000, Packet(idx, 0, false, frame.substr(0, 4)));
    for (int64_t end = platform::NowMicros() + 2000; platform::NowMicros() < end;) {
    }
    receiver->OnRead("127.0.0.1", 5000, Packet(idx, 1, true, frame.substr(4)));
    Settle();
    ASSERT_EQ(decoder_.decoded.load(), before + 1);
  };
  // Reports are triggered by repeats, which publish nothing: a picture published as the
  // report is taken would fall into either window.
  Push(1, 'I');
  Advance(3000);
  Push(1, 'P');  // the first report (the clock started with the first frame)
  capture_.Clear();
  for (uint32_t i = 2; i <= 5; ++i) send(i, "Ppayload");
  Advance(3000);
  Push(5, 'P');
  ASSERT_EQ(capture_.Count("(ms/df)"), 1u);
  ASSERT_EQ(capture_.Count("stage latency ms p50/p99/max over 4 pictures:"), 1u);
  const auto said = capture_.Matching("stage latency");
  EXPECT_EQ(said[0].function, "VStreamDecoderThread::DecodeTask");
  const std::string line = said[0].text;
  auto f = StageFigures(line);
  ASSERT_EQ(f.size(), 7u) << line;
  EXPECT_GE(f["receive"][0], 2.0) << "first datagram to complete frame: " << line;
  EXPECT_GE(f["decode"][0], 3.0) << line;
  for (auto& [name, v] : f) {
    EXPECT_LE(v[0], v[1]) << name;
    EXPECT_LE(v[1], v[2]) << name;
    if (name != "total") {
      EXPECT_LE(v[2], f["total"][2]) << name;
    }
  }
  EXPECT_GE(f["total"][0], 5.0) << line;
  // A window without a published picture says nothing of stages.
  capture_.Clear();
  Advance(3000);
  Push(6, 'X');
  Push(7, 'P');
  EXPECT_EQ(capture_.Count("(ms/df)"), 1u);
  EXPECT_EQ(capture_.Count("stage latency"), 0u) << "picture 5 was in the last window";
  EXPECT_EQ(capture_.Count("pictures 0 published, withheld:"), 1u);
}

TEST_F(PolicyTest, ReorderedPicturesArePublishedOnceInDisplayOrderUnderTheirOwnIndices) {
  decoder_.delay = 2;
  PushAll("1:I@0 2:P@3 3:B@1 4:B@2 5:P@6 6:B@4 7:B@5 8:P@9 9:B@7 10:B@8");
  EXPECT_EQ(publisher_.Published(), (std::vector<uint32_t>{1, 3, 4, 2, 6, 7, 5, 9}));
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME"), 0u)
      << "a picture held back is no failure";
  EXPECT_EQ(capture_.Count("miss codec"), 0u);
}

// Every frame goes to "netframe_<start>" before it is decoded; each published picture's own
// frame goes to "<codec>_<w>x<h>_<start>" when the picture is published, in display order.
TEST_F(PolicyTest, CaptureFilesHoldEveryFrameAndEachPublishedPicturesOwnFrame) {
  namespace fs = std::filesystem;
  const fs::path base = fs::temp_directory_path() /
                        ("pellion-capture-" + std::to_string(std::random_device()()) + "-" +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(base);
  fs::create_directories(base / "raw-avfile");
  SetCaptureBaseForTesting(base.string());
  thread_.Stop(1000);
  ASSERT_TRUE(thread_.StartDecoding());
  decoder_.delay = 1;
  PushAll("1:I@0; 2:P@2; 3:B@1; 4:X; 5:I@9; 6:P@10;");
  thread_.StopDecoding();
  SetCaptureBaseForTesting("");

  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(base / "raw-avfile")) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  const auto read = testing_util::FileText;
  const std::string picture = files[0].filename().string(), net = files[1].filename().string();
  EXPECT_TRUE(std::regex_match(net, std::regex(R"(netframe_\d{4}(-\d\d){5})"))) << net;
  EXPECT_EQ(picture, "h264_2x2_" + net.substr(9));
  EXPECT_EQ(read(files[1]), "I@0;P@2;B@1;X;I@9;P@10;") << "a frame that fails is captured too";
  // The decoder failed at 4 and lost the held P@2; 5 is then held until 6 comes.
  EXPECT_EQ(read(files[0]), "I@0;B@1;I@9;");
  fs::remove_all(base);
}

TEST_F(PolicyTest, NoHeldPictureCrossesARestart) {
  decoder_.delay = 2;
  PushAll("1:I@0 2:P@3 3:B@1");
  EXPECT_EQ(publisher_.Published(), (std::vector<uint32_t>{1}));
  thread_.Stop(1000);
  ASSERT_TRUE(thread_.StartDecoding());
  PushAll("1:I@0 2:P@2 3:P@3 4:P@4");
  EXPECT_EQ(decoder_.flushes.load(), 1);
  // Without the flush, the first run's 2 (P@3) and 3 (B@1) would come out first.
  EXPECT_EQ(publisher_.Published(), (std::vector<uint32_t>{1, 1, 2}));
  thread_.StopDecoding();
}

// A blocked decoder and a fast stream: the queue stays bounded, drops are counted, and the
// stop does not wait for the backlog.
class BlockingDecoder : public ScriptedDecoder {
 public:
  bool Send(const uint8_t* d, size_t s, int64_t tag, FrameInfo* info) override {
    entered = true;
    WaitUntil([&] { return release.load(); }, std::chrono::seconds(20));
    return ScriptedDecoder::Send(d, s, tag, info);
  }
  std::atomic<bool> entered{false}, release{false};
};

TEST_F(PolicyTest, ARestartWithholdsPredictedFramesUntilAKeyFrame) {
  PushAll("10:I 11:P");
  thread_.StopDecoding();
  ASSERT_TRUE(thread_.StartDecoding());
  Advance(1000);
  Push(12, 'P');
  EXPECT_EQ(capture_.Count("send REQUEST_CODE_FOR_I_FRAME nRet="), 1u);
  PushAll("20:I 21:P");
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
