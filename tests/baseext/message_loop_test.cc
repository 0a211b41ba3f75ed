// The message loop on a real worker: ordering, weak callbacks, delayed tasks, idle cost.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/wait.h"
#include "log/log_capture.h"
#include "thread/framework_thread.h"

namespace {

using namespace std::chrono_literals;
using testing_util::WaitUntil;

class LoopTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { ASSERT_TRUE(worker_.Start(GetParam())); }
  // Runs `f` on the worker and waits for it.
  void RunOnWorker(std::function<void()> f) {
    std::atomic<bool> done{false};
    ASSERT_TRUE(worker_.PostTask([&] {
      f();
      done = true;
    }));
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
  }
  FrameworkThread worker_{"loop test"};
};

TEST_P(LoopTest, TasksFromFourThreadsKeepEachThreadsOrder) {
  constexpr int kPerThread = 2000;
  std::mutex mu;
  std::vector<std::pair<int, int>> seen;
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i)
        worker_.PostTask([&, t, i] {
          std::lock_guard<std::mutex> lock(mu);
          seen.emplace_back(t, i);
        });
    });
  for (auto& p : posters) p.join();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(mu);
    return seen.size() == 4u * kPerThread;
  }));
  std::vector<int> next(4, 0);
  for (auto [t, i] : seen) {
    ASSERT_EQ(i, next[t]) << "thread " << t;
    ++next[t];
  }
}

TEST_P(LoopTest, WeakCallbackOfDestroyedOwnerDoesNothing) {
  std::atomic<bool> gate_open{false};
  std::atomic<int> calls{0};
  // Block the loop so the weak task is still queued when its owner dies.
  worker_.PostTask([&] { WaitUntil([&] { return gate_open.load(); }); });
  {
    auto owner = std::make_unique<SupportWeakCallback>();
    worker_.PostTask(owner->ToWeakCallback([&] { ++calls; }));
    auto alive = std::make_unique<SupportWeakCallback>();
    worker_.PostTask(alive->ToWeakCallback([&] { calls += 10; }));
    owner.reset();
    gate_open = true;
    RunOnWorker([] {});
  }
  EXPECT_EQ(calls.load(), 10);
}

TEST_P(LoopTest, TasksPostedFromATaskRunAfterItDelayedOnesNeverEarlyAndInPostingOrder) {
  std::mutex mu;
  std::vector<int> order;
  std::vector<int64_t> late_by_us;
  std::atomic<int> ran{0};
  RunOnWorker([&] {
    MessageLoop* loop = MessageLoop::current();
    // All posted inside one task: the same "now", hence equal run times for equal delays.
    int64_t posted = platform::NowMicros();
    for (int i = 0; i < 5; ++i)
      loop->PostDelayedTask(
          [&, i, posted] {
            std::lock_guard<std::mutex> lock(mu);
            order.push_back(i);
            late_by_us.push_back(platform::NowMicros() - posted - 40'000);
            ++ran;
          },
          40);
    loop->PostTask([&] {
      std::lock_guard<std::mutex> lock(mu);
      order.push_back(-1);
    });
    std::lock_guard<std::mutex> lock(mu);
    order.push_back(-2);  // a task posted from a task runs after it, never inside PostTask
  });
  ASSERT_TRUE(WaitUntil([&] { return ran.load() == 5; }));
  EXPECT_EQ(order, (std::vector<int>{-2, -1, 0, 1, 2, 3, 4}));
  for (int64_t late : late_by_us) EXPECT_GE(late, 0);
}

TEST_P(LoopTest, ThrowingTaskIsLoggedAndTheLoopGoesOn) {
  NORV::sLog::LogCapture capture;
  worker_.PostTask([] { throw std::runtime_error("boom"); });
  std::atomic<bool> after{false};
  worker_.PostTask([&] { after = true; });
  ASSERT_TRUE(WaitUntil([&] { return after.load(); }));
  auto lines = capture.Matching("boom");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, NORV::sLog::kError);
}

#ifdef _WIN32
double ThreadCpuSeconds(DWORD tid) {
  HANDLE h = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, tid);
  if (h == nullptr) return -1;
  FILETIME created, exited, kernel, user;
  BOOL ok = GetThreadTimes(h, &created, &exited, &kernel, &user);
  CloseHandle(h);
  if (!ok) return -1;
  auto ticks = [](FILETIME t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
}
using ThreadId = DWORD;
#else
double ThreadCpuSeconds(pid_t tid) {
  // utime + stime of one thread, in clock ticks, fields 14 and 15 of its stat.
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return -1;
  char buf[1024] = {};
  size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
  std::fclose(f);
  buf[n] = 0;
  const char* p = std::strrchr(buf, ')');
  unsigned long utime = 0, stime = 0;
  std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

using ThreadId = pid_t;
#endif

TEST_P(LoopTest, IdleLoopSleeps) {
  RunOnWorker([] {});
  ThreadId tid = static_cast<ThreadId>(worker_.thread_id());
  double before = ThreadCpuSeconds(tid);
  std::this_thread::sleep_for(500ms);  // measuring idleness: the wait is the measurement
  double used = ThreadCpuSeconds(tid) - before;
  EXPECT_LT(used, 0.05);
}

INSTANTIATE_TEST_SUITE_P(UiAndIo, LoopTest, ::testing::Values(MessageLoop::kUI, MessageLoop::kIO),
                         [](const auto& info) { return info.param == 1 ? "UI" : "IO"; });

}  // namespace
