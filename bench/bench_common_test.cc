// The benchmarks' child processes and statistics: a wrong exit code or a wait that never ends
// turns a whole benchmark run into a hang or a false figure. Output files, time-outs and kills
// are the platform handle's, tested with it.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_clips.h"
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

}  // namespace
