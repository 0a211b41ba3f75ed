// The demo hosts' picture sinks: what lands in each file, a Y4M that keeps one size, and a
// file that cannot be written reported as a failure rather than lost.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/file_text.h"
#include "host/dump_sink.h"
#include "host/hash_sink.h"
#include "host/y4m_sink.h"
#include "read_stats.h"

namespace pellion_tools {
namespace {

pellion::FrameHeader Header(uint32_t index, uint16_t w, uint16_t h) {
  pellion::FrameHeader header;
  header.frame_index = index;
  header.width = w;
  header.height = h;
  header.byte_count = static_cast<uint32_t>(pellion::Nv12ByteCount(w, h));
  return header;
}

// Distinct bytes everywhere, so that a swapped or shifted plane shows.
std::vector<uint8_t> Nv12(uint16_t w, uint16_t h) {
  std::vector<uint8_t> p(pellion::Nv12ByteCount(w, h));
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 + 1);
  return p;
}

class SinkFile : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove(path_); }
  std::string Contents() const { return testing_util::FileText(path_); }
  const std::string path_ =
      (std::filesystem::temp_directory_path() / ("pellion_sink_" + std::to_string(getpid())))
          .string();
};

struct Size {
  uint16_t w, h;
};
void PrintTo(const Size& s, std::ostream* os) { *os << s.w << "x" << s.h; }
class Y4mSizes : public SinkFile, public ::testing::WithParamInterface<Size> {};

// Widths that are no multiple of 16 and odd sizes too: rows are packed with no padding.
TEST_P(Y4mSizes, OneHeaderThenI420Planes) {
  const auto [w, h] = GetParam();
  Y4mSink sink("test", path_, File::Open(path_, "wb"), 25);
  const std::vector<uint8_t> p = Nv12(w, h);
  pellion::FrameHeader header = Header(1, w, h);
  ASSERT_TRUE(sink.Take(header, p));
  ASSERT_TRUE(sink.Take(header, p));
  ASSERT_TRUE(sink.Finish());
  // Y as it is, then the even UV bytes (U), then the odd ones (V).
  const size_t luma = size_t{w} * h;
  std::string frame = "FRAME\n" + std::string(p.begin(), p.begin() + luma);
  for (int plane = 0; plane < 2; ++plane)
    for (size_t i = luma + plane; i < p.size(); i += 2) frame += static_cast<char>(p[i]);
  const std::string head =
      "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) + " F25:1 Ip A1:1 C420jpeg\n";
  EXPECT_EQ(Contents(), head + frame + frame);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Y4mSizes,
                         ::testing::Values(Size{32, 16}, Size{642, 360}, Size{30, 18}, Size{4, 2},
                                           Size{7, 5}));

TEST_F(SinkFile, Y4mRefusesAnotherSizeAndKeepsWhatItWrote) {
  Y4mSink sink("test", path_, File::Open(path_, "wb"), 30);
  ASSERT_TRUE(sink.Take(Header(1, 32, 16), Nv12(32, 16)));
  const size_t one_frame = Contents().size();
  EXPECT_FALSE(sink.Take(Header(2, 64, 32), Nv12(64, 32)));
  // A size change is the end of the file, not a failure to write it.
  EXPECT_TRUE(sink.Finish());
  EXPECT_EQ(Contents().size(), one_frame);
}

TEST_F(SinkFile, DumpRecordsAreLittleEndianThenThePicture) {
  DumpSink sink("test", path_, File::Open(path_, "wb"));
  const std::vector<uint8_t> p = Nv12(4, 2);
  ASSERT_TRUE(sink.Take(Header(0x01020304, 0x0004, 0x0002), p));
  ASSERT_TRUE(sink.Finish());
  const std::string want = std::string("\x04\x03\x02\x01\x04\x00\x02\x00\x0c\x00\x00\x00", 12) +
                           std::string(p.begin(), p.end());
  EXPECT_EQ(Contents(), want);
}

TEST_F(SinkFile, HashLinesNameIndexSizeAndBytes) {
  HashSink sink("test", path_, File::Open(path_, "w"));
  ASSERT_TRUE(sink.Take(Header(7, 4, 2), std::vector<uint8_t>{'a'}));
  sink.Restarting();
  ASSERT_TRUE(sink.Finish());
  const std::string text = Contents();
  std::smatch m;  // FNV-1a of "a"; the restart comes no earlier than the picture
  ASSERT_TRUE(std::regex_match(
      text, m, std::regex("picture (\\d+) 7 4x2 af63dc4c8601ec8c\nrestart (\\d+)\n")))
      << text;
  EXPECT_GE(std::stoll(m[2]), std::stoll(m[1]));
}

// A full disk: each sink says so at the picture or at the close, and never reports success.
std::unique_ptr<PictureSink> MakeSink(const std::string& kind, File f) {
  if (kind == "y4m") return std::make_unique<Y4mSink>("test", "/dev/full", std::move(f), 30);
  if (kind == "dump") return std::make_unique<DumpSink>("test", "/dev/full", std::move(f));
  return std::make_unique<HashSink>("test", "/dev/full", std::move(f));
}

class FullDisk : public ::testing::TestWithParam<std::string> {};

TEST_P(FullDisk, IsAFailure) {
  File f = File::Open("/dev/full", "wb");
  ASSERT_TRUE(f);
  std::unique_ptr<PictureSink> sink = MakeSink(GetParam(), std::move(f));
  const std::vector<uint8_t> p = Nv12(64, 64);
  bool all_taken = true;
  for (uint32_t i = 0; i < 3; ++i) all_taken = sink->Take(Header(i, 64, 64), p) && all_taken;
  const bool finished = sink->Finish();
  EXPECT_FALSE(all_taken && finished);
}

INSTANTIATE_TEST_SUITE_P(Sinks, FullDisk, ::testing::Values("y4m", "dump", "hashes"),
                         [](const auto& info) { return info.param; });

// Two signals, one picture: the second copy of the same publication is no picture to write.
TEST(ReadStats, APictureReadTwiceIsTakenOnceAndGapsAreMissed) {
  pellion_tools::ReadStats stats;
  auto read = [&](uint64_t sequence, uint32_t writer) {
    pellion::FramePublication info;
    info.has_record = true;
    info.sequence = sequence;
    info.writer_id = writer;
    return stats.Count(pellion::ReadResult::kGood, info);
  };
  EXPECT_TRUE(read(4, 7));
  EXPECT_FALSE(read(4, 7));
  EXPECT_TRUE(read(10, 7));
  EXPECT_TRUE(read(4, 8)) << "another writer's picture";
  EXPECT_EQ(stats.missed(), 2u);
}

TEST(File, BorrowedIsFlushedNotClosed) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  FILE* w = fdopen(fds[1], "w");
  {
    File borrowed = File::Borrow(w);
    std::fputs("x", borrowed.get());
  }
  char c = 0;
  EXPECT_EQ(read(fds[0], &c, 1), 1);
  EXPECT_EQ(c, 'x');
  EXPECT_NE(fcntl(fds[1], F_GETFD), -1) << "the borrowed descriptor was closed";
  std::fclose(w);
  close(fds[0]);
}

}  // namespace
}  // namespace pellion_tools
