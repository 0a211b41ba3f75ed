// What FFmpeg itself writes to standard error: a few lines per format and window, and a count
// of the rest, through FFmpeg's own output.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/file_text.h"
#include "elementary_stream.h"
#include "ffmpeg_log.h"
#include "platform/clock.h"
#include "video_decoder.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

namespace fs = std::filesystem;

std::atomic<uint32_t> g_now{2000000};
uint32_t TestClock() { return g_now.load(); }

using testing_util::CountOf;

// Standard error into a file while it lives, or until Take().
class StderrToFile {
 public:
  explicit StderrToFile(fs::path path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = dup(2);
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrToFile() { Take(); }
  std::string Take() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
    return testing_util::FileText(path_);
  }

 private:
  fs::path path_;
  int saved_ = -1;
};

class FfmpegLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ffmpeg_log::InstallLimit();
    ffmpeg_log::ResetLimitForTesting();
    platform::SetClockMsForTesting(&TestClock);
    level_ = av_log_get_level();
    av_log_set_level(AV_LOG_INFO);
  }
  void TearDown() override {
    av_log_set_level(level_);
    platform::SetClockMsForTesting(nullptr);
    fs::remove(path_);
  }
  static void NextWindow() { g_now += ffmpeg_log::kWindowMs; }

  fs::path path_ = fs::temp_directory_path() / ("pellion-ffmpeg-log-" + std::to_string(getpid()));
  int level_ = AV_LOG_INFO;
};

TEST_F(FfmpegLogTest, OneMessageFromManyThreadsIsCutToAFewLinesAndTheNextCountsTheRest) {
  StderrToFile err(path_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 2500; ++i) av_log(nullptr, AV_LOG_ERROR, "flood %d of %d\n", i, t);
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 3; ++i) av_log(nullptr, AV_LOG_WARNING, "another message %d\n", i);
  NextWindow();
  av_log(nullptr, AV_LOG_ERROR, "flood %d of %d\n", 1, 9);
  const std::string out = err.Take();
  EXPECT_EQ(CountOf(out, "flood "), 6u) << out;
  EXPECT_EQ(CountOf(out, "another message "), 3u) << "each format has its own budget";
  EXPECT_NE(out.find("flood 1 of 9\n\u2026 and 9,995 more in the last 3 s\n"), std::string::npos)
      << out;
  EXPECT_LT(out.size(), 1024u);
}

TEST_F(FfmpegLogTest, AllFormatsTogetherAreCappedAndTheHostsLevelStillRules) {
  // Eighty formats, each its own string: the limit tells formats apart by address.
  static char formats[80][16];
  for (auto& f : formats) std::snprintf(f, sizeof f, "format %%02d\n");
  StderrToFile err(path_);
  // Above the host's level: neither written nor counted.
  av_log_set_level(AV_LOG_ERROR);
  for (int i = 0; i < 100; ++i) av_log(nullptr, AV_LOG_WARNING, formats[0], 0);
  av_log_set_level(AV_LOG_INFO);
  for (int i = 0; i < 80; ++i) av_log(nullptr, AV_LOG_WARNING, formats[i], i);
  std::string out = err.Take();
  EXPECT_EQ(CountOf(out, "format "), static_cast<size_t>(ffmpeg_log::kAllFormats)) << out;
  EXPECT_NE(out.find("format 00\nformat 01\n"), std::string::npos) << "the first ones pass";
  EXPECT_EQ(out.find("\u2026"), std::string::npos);

  StderrToFile again(path_);
  NextWindow();
  av_log(nullptr, AV_LOG_WARNING, formats[79], 79);
  out = again.Take();
  EXPECT_EQ(out, "format 79\n\u2026 and 30 more in the last 3 s\n");

  StderrToFile quiet(path_);
  av_log_set_level(AV_LOG_QUIET);
  NextWindow();
  av_log(nullptr, AV_LOG_ERROR, formats[1], 1);
  EXPECT_EQ(quiet.Take(), "");
}

// A decoder fed garbage after a good key frame, on slice threads: FFmpeg's complaints and the
// decoder's own lines stay a few lines each.
TEST_F(FfmpegLogTest, AThousandGarbageFramesLeaveAFewKiBOnStandardError) {
  const std::vector<uint8_t> bytes =
      pellion_tools::ReadWholeFile(std::string(PELLION_CLIPS_DIR) + "/hevc_640x360.h265");
  const auto units = pellion_tools::SplitAccessUnits(pellion_tools::Codec::kHevc, bytes).units;
  ASSERT_GE(units.size(), 2u);
  VideoDecoder d;
  d.set_threads(4);
  FrameInfo info;
  ASSERT_TRUE(d.Send(bytes.data() + units[0].offset, units[0].size, 0, &info));
  const std::vector<uint8_t> predicted(
      bytes.begin() + static_cast<long>(units[1].offset),
      bytes.begin() + static_cast<long>(units[1].offset + units[1].size));
  std::mt19937 rng(7);
  constexpr int kFrames = 1000;
  StderrToFile err(path_);
  int rejected = 0;
  for (int i = 1; i <= kFrames; ++i) {
    // The start code and the slice's NAL header stay: the rest is noise.
    std::vector<uint8_t> frame = predicted;
    for (size_t k = 6; k < frame.size(); ++k) frame[k] = static_cast<uint8_t>(rng());
    if (!d.Send(frame.data(), frame.size(), i, &info)) ++rejected;
    DecodedPicture p;
    while (d.Receive(&p) == ReceiveStatus::kPicture) {
    }
  }
  const std::string out = err.Take();
  std::printf("%d garbage frames (%d rejected): %zu bytes on standard error, %zu from FFmpeg\n",
              kFrames, rejected, out.size(), CountOf(out, "[hevc @"));
  EXPECT_GT(CountOf(out, "[hevc @"), 0u) << "FFmpeg had something to say";
  EXPECT_LT(out.size(), 12u << 10) << out.substr(0, 4000);
}

}  // namespace
