// The benchmarks' child processes, statistics and command line: a wrong exit code or a wait that
// never ends turns a whole benchmark run into a hang or a false figure, and so does a failed run
// folded into a median or a start-up taken off the wrong way. Output files, time-outs and kills
// are the platform handle's, tested with it.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_clips.h"
#include "bench_decoding.h"
#include "bench_options.h"
#include "bench_process.h"
#include "bench_stats.h"
#include "gtest/gtest.h"

namespace {

TEST(BenchProcess, GivesTheExitCodeAndTheSignalAs128Plus) {
  const struct {
    const char* script;
    int code;
  } cases[] = {{"exit 0", 0}, {"exit 3", 3}, {"kill -TERM $$", 128 + SIGTERM}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    bench::Process p;
    ASSERT_TRUE(p.Start({"sh", "-c", c.script}));
    EXPECT_EQ(p.Wait(-1), c.code);
    EXPECT_EQ(bench::Run({"sh", "-c", c.script}), c.code);
  }
}

TEST(BenchProcess, ChildReapedElsewhereEndsTheWait) {
  bench::Process p;
  ASSERT_TRUE(p.Start({"sh", "-c", "exit 5"}));
  ASSERT_EQ(waitpid(static_cast<pid_t>(p.pid()), nullptr, 0), p.pid());
  EXPECT_EQ(p.Wait(-1), -1);
}

TEST(BenchStats, PercentileIsTheNearestRank) {
  const std::vector<double> four = {4, 1, 3, 2};
  EXPECT_EQ(bench::Percentile({}, 50), 0);
  EXPECT_EQ(bench::Percentile({7}, 99), 7);
  EXPECT_EQ(bench::Percentile(four, 50), 2);
  EXPECT_EQ(bench::Percentile(four, 99), 4);
  EXPECT_EQ(bench::Percentile(four, 0), 1);
}

TEST(BenchStats, AfterDropsTheWarmUpAndWhatWasNotMeasured) {
  EXPECT_EQ(bench::After({1, 2, -1, 4, 5}, 1), (std::vector<double>{2, 4, 5}));
  EXPECT_TRUE(bench::After({1, 2}, 5).empty());
}

TEST(BenchStats, MedianOfRunsFailsWithAnyFailedRun) {
  EXPECT_EQ(bench::MedianOfRuns({30, 10, 20}), 20);
  EXPECT_EQ(bench::MedianOfRuns({5}), 5);
  // A run that lost frames must not pass for a slower one.
  EXPECT_EQ(bench::MedianOfRuns({30, -1, 20, 25, 28}), -1);
  EXPECT_EQ(bench::MedianOfRuns({30, 0, 20}), -1);
  EXPECT_EQ(bench::MedianOfRuns({}), -1);
}

TEST(BenchRates, StartUpIsTakenOffTheLeastOrTheMedianOfEach) {
  // 11 frames; whole runs 2.0, 1.5 (the least), 9.0 (an outlier); one-frame runs 0.5, 0.4, 0.6.
  const bench::Timings all{{2.0, 1.5, 9.0}, {4.0, 3.0, 5.0}};
  const bench::Timings one{{0.5, 0.4, 0.6}, {1.0, 1.0, 2.0}};
  const bench::Rate least = bench::StartUpTakenOff(all, one, 11, false);
  EXPECT_DOUBLE_EQ(least.fps, 10 / (1.5 - 0.4));
  EXPECT_DOUBLE_EQ(least.cpu_ms, (3.0 - 1.0) * 1000 / 10);
  const bench::Rate median = bench::StartUpTakenOff(all, one, 11, true);
  EXPECT_DOUBLE_EQ(median.fps, 10 / (2.0 - 0.5));
  EXPECT_DOUBLE_EQ(median.cpu_ms, (4.0 - 1.0) * 1000 / 10);
}

TEST(BenchRates, NothingLeftAfterTheStartUpIsNotMeasured) {
  const struct {
    const char* what;
    bench::Timings all, one;
    int frames;
  } cases[] = {
      {"start-up as long as the run", {{1.0}, {0.5}}, {{1.0}, {0.5}}, 10},
      {"start-up longer than the run", {{1.0}, {0.5}}, {{1.2}, {0.7}}, 10},
      {"one frame", {{2.0}, {2.0}}, {{1.0}, {1.0}}, 1},
      {"no runs", {{}, {}}, {{1.0}, {1.0}}, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const bench::Rate r = bench::StartUpTakenOff(c.all, c.one, c.frames, true);
    EXPECT_EQ(r.fps, -1);
    EXPECT_EQ(r.cpu_ms, -1);
  }
}

TEST(BenchOptions, OneCaseByNameWithItsCounts) {
  const struct {
    std::vector<std::string> args;
    bool ok;
    bench::CaseOptions want;
  } cases[] = {
      {{}, true, {"", 0, 5}},
      {{"1080p_h264_1slice", "--frames", "60", "--repeats", "1"},
       true,
       {"1080p_h264_1slice", 60, 1}},
      {{"--repeats", "3", "4k_hevc_wpp"}, true, {"4k_hevc_wpp", 0, 3}},
      {{"a", "b"}, false, {}},
      {{"a", "--frames"}, false, {}},
      {{"a", "--frames", "0"}, false, {}},
      {{"a", "--frames", "12x"}, false, {}},
      {{"a", "--frames", "-3"}, false, {}},
      {{"a", "--repeats", "many"}, false, {}},
      {{"--fast"}, false, {}},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    bench::CaseOptions got{"untouched", 7, 7};
    ASSERT_EQ(bench::ParseCaseOptions(c.args, &got), c.ok);
    const bench::CaseOptions want = c.ok ? c.want : bench::CaseOptions{"untouched", 7, 7};
    EXPECT_EQ(got.only, want.only);
    EXPECT_EQ(got.frames, want.frames);
    EXPECT_EQ(got.repeats, want.repeats);
  }
}

}  // namespace
