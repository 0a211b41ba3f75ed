// pellion-view as a process, reading a section of its own that this test publishes into: whole
// pictures in order in either format, and an output that cannot be written is a failure.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ShareMemVFrame.h"
#include "common/file_text.h"
#include "common/wait.h"
#include "platform/named_event.h"
#include "platform/process.h"
#include "platform/shared_memory.h"

namespace {

constexpr uint16_t kW = 64, kH = 32;
constexpr size_t kBytes = size_t{kW} * kH * 3 / 2;

// The index in the first four bytes, then a pattern of the index.
std::vector<uint8_t> Picture(uint32_t index) {
  std::vector<uint8_t> p(kBytes);
  for (size_t i = 0; i < p.size(); ++i)
    p[i] = i < 4 ? static_cast<uint8_t>(index >> (8 * i)) : static_cast<uint8_t>(i * 13 + index);
  return p;
}

struct ViewCase {
  const char* name;
  const char* format;
  bool full_disk;  // the output is /dev/full
};
void PrintTo(const ViewCase& c, std::ostream* os) { *os << c.name; }

class View : public ::testing::TestWithParam<ViewCase> {
 protected:
  void TearDown() override {
    platform::SharedSection::Unlink(section_);
    platform::NamedSemaphore::Unlink(event_);
    std::filesystem::remove(out_);
    std::filesystem::remove(err_);
  }
  // Runs pellion-view for three pictures, publishing until it exits (it opens the section in
  // its own time, so the first pictures may come before it looks); its exit code.
  int Run(const std::string& format, const std::string& output) {
    ShareMemVFrame publisher(section_, event_);
    platform::SpawnRequest req;
    req.program = PELLION_VIEW_PATH;
    req.argv = {PELLION_VIEW_PATH, "-n",     "3",       "-f",   format,      "-o", output,
                "--section",       section_, "--event", event_, "--timeout", "20"};
    req.stderr_path = err_;
    req.caller_reaps = true;
    platform::Process view;
    if (platform::Process::Start(req, &view) != platform::SpawnResult::kOk) return -1;
    uint32_t index = 0;
    const bool exited = testing_util::WaitUntil(
        [&] {
          publisher.WriteTo(index, kW, kH, Picture(index));
          ++index;
          return view.Wait(0) == platform::kWaitObject0;
        },
        std::chrono::seconds(30));
    if (!exited) {
      view.Kill();
      view.Wait(-1);
      return -1;
    }
    return view.exit_code();
  }
  // The index of the published picture `bytes` is, or -1.
  static int64_t IndexOf(const std::string& bytes) {
    if (bytes.size() != kBytes) return -1;
    uint32_t index = 0;
    for (int i = 0; i < 4; ++i) index |= uint32_t{static_cast<uint8_t>(bytes[i])} << (8 * i);
    const std::vector<uint8_t> p = Picture(index);
    return bytes == std::string(p.begin(), p.end()) ? index : -1;
  }
  const std::string section_ = "pellion_view_test_" + std::to_string(getpid());
  const std::string event_ = "pellion_view_test_event_" + std::to_string(getpid());
  const std::string out_ =
      (std::filesystem::temp_directory_path() / ("pellion_view_" + std::to_string(getpid())))
          .string();
  const std::string err_ = out_ + ".err";
};

TEST_P(View, WritesWholePicturesInOrder) {
  const ViewCase c = GetParam();
  const int code = Run(c.format, c.full_disk ? "/dev/full" : out_);
  if (c.full_disk) {
    EXPECT_EQ(code, 1) << testing_util::FileText(err_);
    EXPECT_NE(testing_util::FileText(err_).find("pellion-view: cannot write /dev/full: "),
              std::string::npos)
        << testing_util::FileText(err_);
    return;
  }
  ASSERT_EQ(code, 0) << testing_util::FileText(err_);
  std::string out = testing_util::FileText(out_);
  const bool y4m = std::string(c.format) == "y4m";
  if (y4m) {
    const std::string head = "YUV4MPEG2 W64 H32 F30:1 Ip A1:1 C420jpeg\n";
    ASSERT_EQ(out.compare(0, head.size(), head), 0) << out.substr(0, 60);
    out.erase(0, head.size());
  }
  const size_t record = kBytes + (y4m ? 6 : 0);
  ASSERT_EQ(out.size(), 3 * record);
  int64_t last = -1;
  for (size_t at = 0; at < out.size(); at += record) {
    std::string bytes = out.substr(at, record);
    if (y4m) {
      ASSERT_EQ(bytes.compare(0, 6, "FRAME\n"), 0);
      // Back to NV12, to compare with what was published.
      std::string nv12 = bytes.substr(6, size_t{kW} * kH);
      const size_t chroma = size_t{kW / 2} * (kH / 2), u = 6 + size_t{kW} * kH;
      for (size_t i = 0; i < chroma; ++i) nv12 += {bytes[u + i], bytes[u + chroma + i]};
      bytes = nv12;
    }
    const int64_t index = IndexOf(bytes);
    ASSERT_GT(index, last) << "picture at " << at << " is no later published picture";
    last = index;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, View,
                         ::testing::Values(ViewCase{"nv12", "nv12", false},
                                           ViewCase{"y4m", "y4m", false},
                                           ViewCase{"full_disk", "nv12", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
