// The shared frame section and event, read back by the host header's reader, and the
// capture files.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureFile.h"
#include "ShareMemVFrame.h"
#include "common/file_text.h"
#include "log/log_capture.h"
#include "pellion/frame_section.h"
#include "platform/named_event.h"
#include "platform/shared_memory.h"

namespace {

namespace fs = std::filesystem;

class SectionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::SharedSection::Unlink(section_);
    platform::NamedSemaphore::Unlink(event_);
  }
  std::vector<uint8_t> Picture(size_t n, uint8_t seed) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 31 + seed);
    return p;
  }
  std::string section_ = "pellion_test_section_" + std::to_string(getpid());
  std::string event_ = "pellion_test_event_" + std::to_string(getpid());
};

TEST_F(SectionTest, HeaderFieldsAndPictureLandAtTheirOffsets) {
  ShareMemVFrame publisher(section_, event_);
  pellion::FrameReader reader;
  ASSERT_TRUE(reader.Open(section_, event_));
  platform::SharedSection raw;
  ASSERT_TRUE(raw.Open(section_, true));
  platform::SectionMapping map;
  ASSERT_TRUE(map.Map(raw, true));
  EXPECT_EQ(map.size(), pellion::kFrameSectionSize);
  map.data()[0] = 0xA5;  // the reader's byte: never written by the publisher

  std::vector<uint8_t> big = Picture(1920 * 1080 * 3 / 2, 1);
  ASSERT_TRUE(publisher.WriteTo(0x01020304, 1920, 1080, big));
  std::vector<uint8_t> small = Picture(640 * 360 * 3 / 2, 2);
  ASSERT_TRUE(publisher.WriteTo(7, 640, 360, small));
  const uint8_t* b = map.data();
  EXPECT_EQ(b[0], 0xA5);
  EXPECT_EQ(b[1] | b[2] << 8 | b[3] << 16 | b[4] << 24, 7);
  EXPECT_EQ(b[5] | b[6] << 8, 640);
  EXPECT_EQ(b[7] | b[8] << 8, 360);
  EXPECT_EQ(static_cast<size_t>(b[9] | b[10] << 8 | b[11] << 16 | b[12] << 24), small.size());
  EXPECT_EQ(std::memcmp(b + 13, small.data(), small.size()), 0);
  // The bytes the larger picture left behind the smaller one stay.
  EXPECT_EQ(
      std::memcmp(b + 13 + small.size(), big.data() + small.size(), big.size() - small.size()), 0);

  // Two writes, one auto-reset signal left for one waiter.
  EXPECT_TRUE(reader.Wait(1000));
  EXPECT_FALSE(reader.Wait(0));
  pellion::FrameHeader h;
  std::vector<uint8_t> got;
  bool torn = true;
  ASSERT_TRUE(reader.Read(&h, &got, &torn));
  EXPECT_FALSE(torn);
  EXPECT_EQ(h.frame_index, 7u);
  EXPECT_EQ(got, small);
}

// Refused before anything is written, and said once per size.
TEST_F(SectionTest, UltraHdFitsAndAnythingLargerIsRefused) {
  NORV::sLog::LogCapture capture;
  ShareMemVFrame publisher(section_, event_);
  EXPECT_TRUE(publisher.WriteTo(1, 3840, 2160, Picture(12441600, 3)));
  EXPECT_FALSE(publisher.WriteTo(2, 3840, 2160, Picture(12441601, 3)));
  // Sizes the header cannot carry are refused too, however small the picture.
  EXPECT_FALSE(publisher.WriteTo(3, 70000, 2, Picture(70000 * 3, 3)));
  int fills = 0;
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(publisher.Publish(4, 3840, 2176, [&](uint8_t*) { return ++fills > 0; }));
  EXPECT_EQ(fills, 0);
  EXPECT_EQ(capture.Count("memory VFRAME too large"), 3u);
  pellion::FrameReader reader;
  ASSERT_TRUE(reader.Open(section_, event_));
  pellion::FrameHeader h;
  std::vector<uint8_t> got;
  ASSERT_EQ(reader.ReadWhole(&h, &got, nullptr), pellion::ReadResult::kGood);
  EXPECT_EQ(h.frame_index, 1u);
}

// A conversion that fails inside the write window has already overwritten the last picture:
// readers must see no picture rather than take the half-written one for whole.
TEST_F(SectionTest, AConversionThatFailsHalfWayIsNeverReadAsWhole) {
  ShareMemVFrame publisher(section_, event_);
  pellion::FrameReader reader;
  ASSERT_TRUE(reader.Open(section_, event_));
  const std::vector<uint8_t> a = Picture(64 * 32 * 3 / 2, 1), c = Picture(64 * 32 * 3 / 2, 3);
  auto fill_with = [](const std::vector<uint8_t>& p, size_t n) {
    return [&p, n](uint8_t* dst) {
      std::memcpy(dst, p.data(), n);
      return n == p.size();
    };
  };
  ASSERT_TRUE(publisher.Publish(1, 64, 32, fill_with(a, a.size())));
  ASSERT_TRUE(reader.Wait(1000));
  EXPECT_FALSE(publisher.Publish(2, 64, 32, fill_with(c, c.size() / 2)));
  EXPECT_FALSE(reader.Wait(0)) << "no signal for a picture that never became whole";
  pellion::FrameHeader h;
  std::vector<uint8_t> got;
  EXPECT_EQ(reader.ReadWhole(&h, &got, nullptr), pellion::ReadResult::kUnavailable);
  ASSERT_TRUE(publisher.Publish(3, 64, 32, fill_with(c, c.size())));
  ASSERT_TRUE(reader.Wait(1000));
  ASSERT_EQ(reader.ReadWhole(&h, &got, nullptr), pellion::ReadResult::kGood);
  EXPECT_EQ(h.frame_index, 3u);
  EXPECT_EQ(got, c);
}

TEST_F(SectionTest, AnExistingSmallerSectionIsGrownNotOverrun) {
  {
    platform::SharedSection small;
    ASSERT_TRUE(small.Create(section_, 4096));
  }
  ShareMemVFrame publisher(section_, event_);
  EXPECT_TRUE(publisher.WriteTo(1, 1920, 1080, Picture(1920 * 1080 * 3 / 2, 4)));
  platform::SharedSection check;
  ASSERT_TRUE(check.Open(section_, false));
  EXPECT_EQ(check.size(), pellion::kFrameSectionSize);
}

TEST_F(SectionTest, WithoutASectionEveryWriteFailsWithTheError) {
  NORV::sLog::LogCapture capture;
  ShareMemVFrame publisher("bad/name", event_);
  EXPECT_FALSE(publisher.WriteTo(1, 2, 2, Picture(6, 5)));
  EXPECT_EQ(capture.Count("memory OpenView fail:"), 1u);
}

TEST_F(SectionTest, ASecondProcessIsWokenByEachPicture) {
  ShareMemVFrame publisher(section_, event_);
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pellion::FrameReader reader;
    if (!reader.Open(section_, event_)) _exit(10);
    char c = 'r';
    (void)!write(ready[1], &c, 1);
    uint32_t sum = 0;
    for (int i = 0; i < 3; ++i) {
      if (!reader.Wait(5000)) _exit(11);
      pellion::FrameHeader h;
      std::vector<uint8_t> p;
      if (!reader.Read(&h, &p)) _exit(12);
      sum += h.frame_index;
      (void)!write(done[1], &c, 1);
    }
    _exit(sum == 1 + 2 + 3 ? 0 : 13);
  }
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  for (uint32_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(publisher.WriteTo(i, 4, 2, Picture(12, 6)));
    ASSERT_EQ(read(done[0], &c, 1), 1);  // one picture at a time: the reader took it
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() / ("pellion-capture-" + std::to_string(getpid()));
    fs::create_directories(base_);
    SetCaptureBaseForTesting(base_.string());
  }
  void TearDown() override {
    SetCaptureBaseForTesting("");
    fs::remove_all(base_);
  }
  void Write(size_t n) {
    frame_.assign(n, 0);
    for (size_t i = 0; i < n; ++i) frame_[i] = static_cast<uint8_t>(i);
    WriteCaptureFile(frame_.data(), static_cast<int>(n), L"netframe_t");
  }
  fs::path base_;
  std::vector<uint8_t> frame_;
};

TEST_F(CaptureTest, LengthPrefixedPlainAndBoth) {
  fs::create_directory(base_ / "raw-lenavfile");
  Write(5000);
  std::string f = testing_util::FileText(base_ / "raw-lenavfile" / "netframe_t");
  ASSERT_EQ(f.size(), 5004u);
  EXPECT_EQ(f.substr(0, 4), std::string("\x88\x13\x00\x00", 4));
  EXPECT_EQ(std::memcmp(f.data() + 4, frame_.data(), 5000), 0);

  fs::remove_all(base_ / "raw-lenavfile");
  fs::create_directory(base_ / "raw-avfile");
  Write(300);
  Write(200);
  EXPECT_EQ(fs::file_size(base_ / "raw-avfile" / "netframe_t"), 500u);

  // Both: the file lies in the plain folder and its records carry lengths.
  fs::create_directory(base_ / "raw-lenavfile");
  Write(10);
  EXPECT_EQ(fs::file_size(base_ / "raw-avfile" / "netframe_t"), 514u);
  EXPECT_FALSE(fs::exists(base_ / "raw-lenavfile" / "netframe_t"));
}

TEST_F(CaptureTest, NoFolderNoFileAndRemovingTheFolderStopsCaptureAtTheNextFrame) {
  Write(64);
  EXPECT_TRUE(fs::is_empty(base_));
  fs::create_directory(base_ / "raw-avfile");
  Write(64);
  fs::path kept = base_ / "kept";
  fs::rename(base_ / "raw-avfile", kept);
  Write(64);
  EXPECT_EQ(fs::file_size(kept / "netframe_t"), 64u);
  EXPECT_FALSE(fs::exists(base_ / "raw-avfile"));
}

}  // namespace
