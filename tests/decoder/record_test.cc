// The publication record in the section's tail: its sequence, a picture caught half written, and
// what a reader of the header alone still sees.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ShareMemVFrame.h"
#include "common/wait.h"
#include "pellion/frame_section.h"
#include "platform/named_event.h"
#include "platform/shared_memory.h"

namespace {

using pellion::FrameHeader;
using pellion::FramePublication;
using pellion::ReadResult;

// What a caller held before a read: a false read leaves all of it.
struct Held {
  FrameHeader header;
  const uint8_t* data = nullptr;
  size_t size = 0;
  explicit Held(const FrameHeader& h, const std::vector<uint8_t>& v)
      : header(h), data(v.data()), size(v.size()) {}
  bool Same(const FrameHeader& h, const std::vector<uint8_t>& v) const {
    return h.frame_index == header.frame_index && h.width == header.width &&
           h.height == header.height && h.byte_count == header.byte_count && v.data() == data &&
           v.size() == size;
  }
};

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
  // A picture whose every byte depends on `seed`: two pictures of other seeds differ everywhere.
  static std::vector<uint8_t> Patterned(size_t n, uint32_t seed) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 31 + i / 4099 + seed * 101);
    return p;
  }

  void OpenReader() { ASSERT_TRUE(reader_.Open(section_, event_)); }
  ReadResult ReadWhole() { return reader_.ReadWhole(&h_, &got_, &info_); }

  std::string section_ = "pellion_record_section_" + std::to_string(getpid());
  std::string event_ = "pellion_record_event_" + std::to_string(getpid());
  platform::SharedSection raw_;
  platform::SectionMapping map_;
  // A host's reader, and what it copies into.
  pellion::FrameReader reader_;
  FrameHeader h_;
  std::vector<uint8_t> got_;
  FramePublication info_;
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

  OpenReader();
  ASSERT_EQ(ReadWhole(), ReadResult::kGood);
  EXPECT_TRUE(info_.has_record);
  EXPECT_EQ(info_.sequence, 4u);
  EXPECT_EQ(info_.published_us, published);
  EXPECT_EQ(info_.writer_id, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(h_.frame_index, 42u);
  EXPECT_EQ(got_, Uniform(32 * 16 * 3 / 2, 2));
}

TEST_F(RecordTest, ANewWriterEvensAnOddSequenceAndNeverTouchesByteZero) {
  {
    ShareMemVFrame first(section_, event_);
    ASSERT_TRUE(first.WriteTo(1, 4, 2, Uniform(12, 9)));
  }
  MapRaw();
  map_.data()[0] = 0x5A;
  // A writer that died half way through its next picture: a process that has ended.
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  pellion::RecordField<uint32_t>(Record(), pellion::kRecordWriterId)
      .store(static_cast<uint32_t>(dead));
  pellion::RecordField<uint64_t>(Record(), pellion::kRecordSequence).store(3);
  ShareMemVFrame second(section_, event_);
  EXPECT_EQ(Sequence(), 4u);
  EXPECT_EQ(map_.data()[0], 0x5A);
  ASSERT_TRUE(second.WriteTo(2, 4, 2, Uniform(12, 8)));
  EXPECT_EQ(Sequence(), 6u);
  EXPECT_EQ(map_.data()[0], 0x5A);

  // Stale: odd for longer than a writer ever needs. The reader gives up, it does not hang.
  pellion::RecordField<uint64_t>(Record(), pellion::kRecordSequence).store(7);
  OpenReader();
  EXPECT_FALSE(reader_.Read(&h_, &got_));
}

// The picture is caught half written: the header is already the new one, the lower half of the
// pixels too, the rest still the old picture's.
TEST_F(RecordTest, AReadDuringACopyIsNeverGoodAndAfterItIsWhole) {
  const size_t n = 1920 * 1080 * 3 / 2;
  ShareMemVFrame publisher(section_, event_);
  ASSERT_TRUE(publisher.WriteTo(1, 1920, 1080, Uniform(n, 0x11)));

  std::binary_semaphore paused{0}, resume{0};
  publisher.SetMidCopyHookForTesting([&] {
    paused.release();
    resume.acquire();
  });
  std::thread writer([&] { publisher.WriteTo(2, 1920, 1080, Uniform(n, 0xEE)); });
  ASSERT_TRUE(paused.try_acquire_for(std::chrono::seconds(10)));

  OpenReader();
  EXPECT_NE(ReadWhole(), ReadResult::kGood);
  EXPECT_FALSE(reader_.Read(&h_, &got_));
  EXPECT_TRUE(got_.empty());
  // Another channel opening the section meanwhile leaves a live writer's picture odd: evened
  // now, the half-written pixels would pass for whole once the writer's own closing store
  // confirmed them.
  MapRaw();
  const uint64_t mid = Sequence();
  ASSERT_EQ(mid & 1, 1u);
  { ShareMemVFrame another(section_, event_); }
  EXPECT_EQ(Sequence(), mid);
  EXPECT_NE(ReadWhole(), ReadResult::kGood);

  resume.release();
  writer.join();
  ASSERT_EQ(ReadWhole(), ReadResult::kGood);
  EXPECT_EQ(h_.frame_index, 2u);
  EXPECT_EQ(info_.sequence, 4u);
  EXPECT_EQ(got_, Uniform(n, 0xEE));
}

// A 4K and a 640x360 picture in turn, each filled from its index, while a reader copies as fast
// as it goes. After every seven pictures the writer waits for a good copy, so that there are good
// ones of both sizes; how many copies are torn is the machine's.
TEST_F(RecordTest, ReadSaysYesOnlyToOneWholePictureAndNoLeavesTheCallersOne) {
  constexpr int kPictures = 280;
  constexpr int kBurst = 7;
  const auto width = [](uint32_t index) -> uint32_t { return (index & 1) != 0 ? 3840 : 640; };
  const auto height = [](uint32_t index) -> uint32_t { return (index & 1) != 0 ? 2160 : 360; };
  std::vector<uint8_t> pictures[8];
  for (uint32_t k = 0; k < 8; ++k) pictures[k] = Patterned(size_t{width(k)} * height(k) * 3 / 2, k);

  ShareMemVFrame publisher(section_, event_);
  // The first 4K picture brings the section's pages in.
  ASSERT_TRUE(publisher.WriteTo(1, width(1), height(1), pictures[1]));
  OpenReader();
  std::atomic<long> good{0};
  std::atomic<bool> done{false};
  std::atomic<int> write_failures{0}, pacing_timeouts{0};
  std::thread writer([&] {
    for (uint32_t i = 2; i <= kPictures; ++i) {
      if (!publisher.WriteTo(i, width(i), height(i), pictures[i % 8])) ++write_failures;
      if (i % kBurst != 0) continue;
      const long seen = good.load();
      if (!testing_util::WaitUntil([&] { return good.load() > seen; })) ++pacing_timeouts;
    }
    done = true;
  });

  FrameHeader h;
  std::vector<uint8_t> got;
  Held held(h, got);
  long yes = 0, big_yes = 0, no = 0, torn_count = 0, wrong_yes = 0, touched_by_no = 0;
  while (!done.load()) {
    bool torn = false;
    if (reader_.Read(&h, &got, &torn)) {
      ++yes;
      if (h.frame_index == 0 || got.size() != h.byte_count ||
          got.size() != size_t{h.width} * h.height * 3 / 2 || got != pictures[h.frame_index % 8])
        ++wrong_yes;
      held = Held(h, got);
      if (h.width == 3840) ++big_yes;
      ++good;
      continue;
    }
    ++no;
    if (torn) ++torn_count;
    if (!held.Same(h, got) || (yes > 0 && got != pictures[h.frame_index % 8])) ++touched_by_no;
  }
  writer.join();
  std::printf("reads: %ld yes (%ld of 4K), %ld no (%ld torn)\n", yes, big_yes, no, torn_count);
  EXPECT_EQ(write_failures.load(), 0);
  EXPECT_EQ(pacing_timeouts.load(), 0);
  EXPECT_GE(yes, kPictures / kBurst);
  EXPECT_EQ(wrong_yes, 0);
  EXPECT_EQ(touched_by_no, 0);
}

// Reads that say no, each way there is to say it: with the record a stale writer and a
// sequence that keeps moving; without it a header that keeps changing. None touches what the
// caller holds.
TEST_F(RecordTest, EveryNoLeavesHeaderAndPictureAsTheyWere) {
  const size_t small = 640 * 360 * 3 / 2;
  const size_t big = 1920 * 1080 * 3 / 2;
  ShareMemVFrame publisher(section_, event_);
  MapRaw();
  ASSERT_TRUE(publisher.WriteTo(1, 640, 360, Patterned(small, 1)));
  OpenReader();
  ASSERT_TRUE(reader_.Read(&h_, &got_));
  ASSERT_EQ(h_.frame_index, 1u);
  const Held held(h_, got_);
  const std::vector<uint8_t> first = got_;
  ASSERT_TRUE(publisher.WriteTo(2, 1920, 1080, Patterned(big, 2)));

  auto&& sequence = pellion::RecordField<uint64_t>(Record(), pellion::kRecordSequence);
  const uint64_t even = sequence.load();
  sequence.store(even + 1);  // a writer that stopped half way
  bool torn = true;
  EXPECT_FALSE(reader_.Read(&h_, &got_, &torn));
  EXPECT_FALSE(torn);
  EXPECT_TRUE(held.Same(h_, got_));
  EXPECT_EQ(ReadWhole(), ReadResult::kUnavailable);
  EXPECT_TRUE(held.Same(h_, got_));
  sequence.store(even);

  // Something that moves what every copy is checked against, as fast as it goes, until the
  // reader has seen it every try.
  std::atomic<bool> stop{false};
  auto keep_changing = [&](const std::function<void(uint64_t)>& change) {
    return std::thread([&stop, change] {
      for (uint64_t i = 1; !stop.load(std::memory_order_relaxed); ++i) change(i);
    });
  };
  auto torn_until_seen = [&](const char* what) {
    long changed_yes = 0;
    bool seen_torn = false, seen_whole_torn = false;
    auto both_torn = [&] {
      FrameHeader h2 = h_;
      std::vector<uint8_t> got2 = got_;
      const Held before(h2, got2);
      bool t = false;
      if (reader_.Read(&h2, &got2, &t)) {
        ++changed_yes;
      } else {
        seen_torn |= t;
        EXPECT_TRUE(before.Same(h2, got2)) << what;
      }
      const Held before_whole(h2, got2);
      if (reader_.ReadWhole(&h2, &got2, &info_) == ReadResult::kTorn) {
        seen_whole_torn = true;
        EXPECT_TRUE(before_whole.Same(h2, got2)) << what;
      }
      return seen_torn && seen_whole_torn;
    };
    EXPECT_TRUE(testing_util::WaitUntil(both_torn)) << what;
    return changed_yes;
  };

  std::thread bumper = keep_changing([&](uint64_t i) { sequence.store(even + 2 * i); });
  const long bumped_yes = torn_until_seen("sequence");
  stop = true;
  bumper.join();
  EXPECT_TRUE(held.Same(h_, got_));
  EXPECT_EQ(got_, first);
  std::printf("good reads while the sequence moved: %ld\n", bumped_yes);

  // No record: a section cut below it by another process under a publisher that mapped it whole
  // (the raw view keeps to its first pages). Pictures still go out, and the reader checks the
  // header, which flips here between two pictures' indices.
  ASSERT_EQ(ftruncate(raw_.fd(), 8 << 20), 0);
  ASSERT_TRUE(publisher.WriteTo(3, 1920, 1080, Patterned(big, 3)));
  pellion::FrameReader old_reader;
  ASSERT_TRUE(old_reader.Open(section_, event_));
  stop = false;
  FrameHeader oh;
  std::vector<uint8_t> ogot;
  ASSERT_EQ(old_reader.ReadWhole(&oh, &ogot, &info_), ReadResult::kGood);
  EXPECT_FALSE(info_.has_record);
  EXPECT_EQ(oh.frame_index, 3u);
  EXPECT_EQ(ogot, Patterned(big, 3));
  Held old_held(oh, ogot);
  uint8_t* index_byte = map_.data() + 1;
  std::thread flipper = keep_changing([&](uint64_t i) {
    __atomic_store_n(index_byte, static_cast<uint8_t>(3 + (i & 1)), __ATOMIC_RELAXED);
  });
  bool seen = false;
  auto torn_seen = [&] {
    bool t = false;
    if (!old_reader.Read(&oh, &ogot, &t)) {
      seen |= t;
      EXPECT_TRUE(old_held.Same(oh, ogot));
    } else {
      EXPECT_EQ(ogot.size(), oh.byte_count);
      old_held = Held(oh, ogot);
    }
    return seen;
  };
  EXPECT_TRUE(testing_util::WaitUntil(torn_seen));
  stop = true;
  flipper.join();
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
