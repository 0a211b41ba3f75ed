// The publication record in the section's tail: its sequence, a picture caught half written, and
// what a reader of the header alone still sees.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ShareMemVFrame.h"
#include "pellion/frame_section.h"
#include "platform/named_event.h"
#include "platform/shared_memory.h"

namespace {

using pellion::FramePublication;
using pellion::ReadResult;

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SharedSection::Unlink(section_);
    platform::NamedSemaphore::Unlink(event_);
  }
  void TearDown() override {
    platform::SharedSection::Unlink(section_);
    platform::NamedSemaphore::Unlink(event_);
  }
  // A view of the section as another process has it.
  void MapRaw() {
    ASSERT_TRUE(raw_.Open(section_, true));
    ASSERT_TRUE(map_.Map(raw_, true));
  }
  uint8_t* Record() { return map_.data() + pellion::kFrameRecordOffset; }
  uint64_t Sequence() {
    return pellion::RecordField<uint64_t>(Record(), pellion::kRecordSequence).load();
  }
  template <typename T>
  T Field(size_t offset) {
    T v;
    std::memcpy(&v, Record() + offset, sizeof v);
    return v;
  }
  static std::vector<uint8_t> Uniform(size_t n, uint8_t value) {
    return std::vector<uint8_t>(n, value);
  }

  std::string section_ = "pellion_record_section_" + std::to_string(getpid());
  std::string event_ = "pellion_record_event_" + std::to_string(getpid());
  platform::SharedSection raw_;
  platform::SectionMapping map_;
};

TEST_F(RecordTest, SequenceRisesByTwoPerPictureAndARefusalLeavesIt) {
  ShareMemVFrame publisher(section_, event_);
  MapRaw();
  EXPECT_EQ(Field<uint32_t>(pellion::kRecordMagic), pellion::kFrameRecordMagic);
  EXPECT_EQ(Field<uint32_t>(pellion::kRecordVersion), pellion::kFrameRecordVersion);
  EXPECT_EQ(Sequence(), 0u);

  const int64_t before = pellion::PublicationClockUs();
  ASSERT_TRUE(publisher.WriteTo(41, 64, 32, Uniform(64 * 32 * 3 / 2, 1)));
  EXPECT_EQ(Sequence(), 2u);
  ASSERT_TRUE(publisher.WriteTo(42, 32, 16, Uniform(32 * 16 * 3 / 2, 2)));
  EXPECT_EQ(Sequence(), 4u);
  EXPECT_EQ(Field<uint32_t>(pellion::kRecordFrameIndex), 42u);
  EXPECT_EQ(Field<uint16_t>(pellion::kRecordWidth), 32u);
  EXPECT_EQ(Field<uint16_t>(pellion::kRecordHeight), 16u);
  EXPECT_EQ(Field<uint32_t>(pellion::kRecordByteCount), 32u * 16 * 3 / 2);
  EXPECT_EQ(Field<uint32_t>(pellion::kRecordWriterId), static_cast<uint32_t>(getpid()));
  const int64_t published = Field<int64_t>(pellion::kRecordPublishedUs);
  EXPECT_GE(published, before);
  EXPECT_LE(published, pellion::PublicationClockUs());

  EXPECT_FALSE(publisher.WriteTo(43, 3840, 2160, Uniform(pellion::kFramePictureCapacity + 1, 3)));
  EXPECT_EQ(Sequence(), 4u);

  pellion::FrameReader reader;
  ASSERT_TRUE(reader.Open(section_, event_));
  pellion::FrameHeader h;
  std::vector<uint8_t> got;
  FramePublication info;
  ASSERT_EQ(reader.ReadWhole(&h, &got, &info), ReadResult::kGood);
  EXPECT_TRUE(info.has_record);
  EXPECT_EQ(info.sequence, 4u);
  EXPECT_EQ(info.published_us, published);
  EXPECT_EQ(info.writer_id, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(h.frame_index, 42u);
  EXPECT_EQ(got, Uniform(32 * 16 * 3 / 2, 2));
}

TEST_F(RecordTest, ANewWriterEvensAnOddSequenceAndNeverTouchesByteZero) {
  {
    ShareMemVFrame first(section_, event_);
    ASSERT_TRUE(first.WriteTo(1, 4, 2, Uniform(12, 9)));
  }
  MapRaw();
  map_.data()[0] = 0x5A;
  // A writer that died half way through its next picture.
  pellion::RecordField<uint64_t>(Record(), pellion::kRecordSequence).store(3);
  ShareMemVFrame second(section_, event_);
  EXPECT_EQ(Sequence(), 4u);
  EXPECT_EQ(map_.data()[0], 0x5A);
  ASSERT_TRUE(second.WriteTo(2, 4, 2, Uniform(12, 8)));
  EXPECT_EQ(Sequence(), 6u);
  EXPECT_EQ(map_.data()[0], 0x5A);

  // Stale: odd for longer than a writer ever needs. The reader gives up, it does not hang.
  pellion::RecordField<uint64_t>(Record(), pellion::kRecordSequence).store(7);
  pellion::FrameReader reader;
  ASSERT_TRUE(reader.Open(section_, event_));
  pellion::FrameHeader h;
  std::vector<uint8_t> got;
  bool torn = false;
  EXPECT_FALSE(reader.Read(&h, &got, &torn));
}

// The picture is caught half written: the header is already the new one, the lower half of the
// pixels too, the rest still the old picture's.
TEST_F(RecordTest, AReadDuringACopyIsNeverGoodAndAfterItIsWhole) {
  const size_t n = 1920 * 1080 * 3 / 2;
  ShareMemVFrame publisher(section_, event_);
  ASSERT_TRUE(publisher.WriteTo(1, 1920, 1080, Uniform(n, 0x11)));

  std::mutex mu;
  std::condition_variable cv;
  bool paused = false, resume = false;
  publisher.SetMidCopyHookForTesting([&] {
    std::unique_lock<std::mutex> lock(mu);
    paused = true;
    cv.notify_all();
    cv.wait(lock, [&] { return resume; });
  });
  std::thread writer([&] { publisher.WriteTo(2, 1920, 1080, Uniform(n, 0xEE)); });
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return paused; }));
  }

  pellion::FrameReader reader;
  ASSERT_TRUE(reader.Open(section_, event_));
  pellion::FrameHeader h;
  std::vector<uint8_t> got;
  FramePublication info;
  ReadResult r = reader.ReadWhole(&h, &got, &info);
  EXPECT_NE(r, ReadResult::kGood);
  bool torn = false;
  bool read = reader.Read(&h, &got, &torn);
  EXPECT_TRUE(!read || torn);

  {
    std::lock_guard<std::mutex> lock(mu);
    resume = true;
  }
  cv.notify_all();
  writer.join();
  ASSERT_EQ(reader.ReadWhole(&h, &got, &info), ReadResult::kGood);
  EXPECT_EQ(h.frame_index, 2u);
  EXPECT_EQ(info.sequence, 4u);
  EXPECT_EQ(got, Uniform(n, 0xEE));
}

// A section cut below the record (by another process) carries none: pictures still go out, and
// the reader falls back to the header check.
TEST_F(RecordTest, ASectionTooSmallForTheRecordHasNone) {
  ShareMemVFrame publisher(section_, event_);
  MapRaw();
  ASSERT_EQ(ftruncate(raw_.fd(), 8 << 20), 0);
  map_.Unmap();
  ASSERT_TRUE(publisher.WriteTo(5, 64, 32, Uniform(64 * 32 * 3 / 2, 7)));
  pellion::FrameReader reader;
  ASSERT_TRUE(reader.Open(section_, event_));
  pellion::FrameHeader h;
  std::vector<uint8_t> got;
  FramePublication info;
  ASSERT_EQ(reader.ReadWhole(&h, &got, &info), ReadResult::kGood);
  EXPECT_FALSE(info.has_record);
  EXPECT_EQ(h.frame_index, 5u);
  EXPECT_EQ(got, Uniform(64 * 32 * 3 / 2, 7));
}

// A writer of alternating uniform pictures as fast as it goes, a reader in another process
// copying as fast as it goes: every copy called good is one picture.
TEST_F(RecordTest, AReaderInAnotherProcessNeverAcceptsAMixedPicture) {
  ShareMemVFrame publisher(section_, event_);
  ASSERT_TRUE(publisher.WriteTo(0, 1920, 1080, Uniform(1920 * 1080 * 3 / 2, 0)));
  int result[2];
  ASSERT_EQ(pipe(result), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(result[0]);
    pellion::FrameReader reader;
    if (!reader.Open(section_, event_)) _exit(10);
    long counts[4] = {0, 0, 0, 0};  // good, torn, unavailable, mixed accepted
    std::vector<uint8_t> got;
    pellion::FrameHeader h;
    FramePublication info;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
      ReadResult r = reader.ReadWhole(&h, &got, &info);
      if (r == ReadResult::kTorn) ++counts[1];
      if (r == ReadResult::kUnavailable) ++counts[2];
      if (r != ReadResult::kGood) continue;
      ++counts[0];
      const uint8_t want = (h.frame_index & 1) != 0 ? 0xFF : 0x00;
      if (got.size() != 1920u * 1080 * 3 / 2 ||
          std::any_of(got.begin(), got.end(), [want](uint8_t b) { return b != want; }))
        ++counts[3];
    }
    (void)!write(result[1], counts, sizeof counts);
    _exit(0);
  }
  close(result[1]);
  const std::vector<uint8_t> pictures[2] = {Uniform(1920 * 1080 * 3 / 2, 0x00),
                                            Uniform(1920 * 1080 * 3 / 2, 0xFF)};
  long counts[4] = {0, 0, 0, 0};
  ssize_t got = 0;
  // Publish until the reader reports: its own clock bounds the run.
  fcntl(result[0], F_SETFL, O_NONBLOCK);
  uint32_t index = 0;
  while ((got = read(result[0], counts, sizeof counts)) < 0 && errno == EAGAIN) {
    ++index;
    ASSERT_TRUE(publisher.WriteTo(index, 1920, 1080, pictures[index & 1]));
  }
  close(result[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof counts));
  std::printf(
      "published %u, good copies %ld, torn caught %ld, unavailable %ld, mixed accepted %ld\n",
      index, counts[0], counts[1], counts[2], counts[3]);
  // A writer that never pauses leaves few chances for a whole copy; how many is the machine's.
  EXPECT_EQ(counts[3], 0);
}

}  // namespace
