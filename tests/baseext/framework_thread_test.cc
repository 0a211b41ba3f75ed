// Worker threads: start, stop with a limit, restarts, thread messages, teardown.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "NKMsgFrameThread.h"
#include "common/wait.h"
#include "log/log_capture.h"
#include "platform/thread.h"

namespace {

using namespace std::chrono_literals;
using testing_util::MillisSince;
using testing_util::WaitUntil;

class Worker : public NKMsgFrameThread {
 public:
  Worker() : NKMsgFrameThread("test worker") {}
  // A cleanup left blocked by a timed-out stop ends only once destruction began, so the
  // destructor must join a thread that still runs.
  ~Worker() override {
    release_cleanup = true;
    FrameworkThread::Stop();
  }

  std::atomic<int> inits{0}, cleanups{0};
  std::atomic<platform::DWORD> init_tid{0}, cleanup_tid{0};
  std::atomic<bool> block_cleanup{false}, release_cleanup{false};

 protected:
  void Init() override {
    NKMsgFrameThread::Init();
    init_tid = platform::GetCurrentThreadId();
    ++inits;
  }
  void Cleanup() override {
    NKMsgFrameThread::Cleanup();
    cleanup_tid = platform::GetCurrentThreadId();
    if (block_cleanup) WaitUntil([this] { return release_cleanup.load(); }, 20s);
    ++cleanups;
  }
};

TEST(WorkerStartTest, StartReturnsAfterInitAndTasksRunOnlyWhileItRuns) {
  Worker w;
  EXPECT_FALSE(w.PostTask([] {})) << "before the start";
  w.Stop(3000);  // never started: returns at once
  ASSERT_TRUE(w.Start());
  EXPECT_EQ(w.inits.load(), 1);
  EXPECT_NE(w.init_tid.load(), 0u);
  EXPECT_EQ(w.init_tid.load(), w.thread_id());
  EXPECT_NE(w.init_tid.load(), platform::GetCurrentThreadId());
  std::atomic<platform::DWORD> task_tid{0};
  std::atomic<int> inits_seen{-1};
  ASSERT_TRUE(w.PostTask([&] {
    inits_seen = w.inits.load();
    task_tid = platform::GetCurrentThreadId();
  }));
  ASSERT_TRUE(WaitUntil([&] { return task_tid.load() != 0; }));
  EXPECT_EQ(task_tid.load(), w.init_tid.load());
  EXPECT_EQ(inits_seen.load(), 1);
  EXPECT_TRUE(w.IsRunning());
  EXPECT_FALSE(w.Start()) << "a second Start while running";
  EXPECT_EQ(w.inits.load(), 1);
  w.Stop(3000);
  EXPECT_FALSE(w.PostTask([] {})) << "after the stop";
  EXPECT_EQ(w.thread_id(), 0u);
}

TEST(WorkerCycleTest, FiftyStartStopCyclesLeakNothing) {
  Worker w;
  // One warm-up cycle: sanitizer runtimes start a helper thread with the first thread made.
  ASSERT_TRUE(w.Start());
  w.Stop(3000);
  int baseline = testing_util::CountThreads();
  for (int i = 1; i < 50; ++i) {
    ASSERT_TRUE(w.Start()) << "cycle " << i;
    auto start = std::chrono::steady_clock::now();
    w.Stop(3000);
    EXPECT_LT(MillisSince(start), 1000) << "cycle " << i;
    EXPECT_EQ(w.thread_id(), 0u);
    EXPECT_EQ(w.cleanups.load(), i + 1);
  }
  EXPECT_EQ(w.inits.load(), 50);
  EXPECT_TRUE(WaitUntil([&] { return testing_util::CountThreads() == baseline; }));
  ASSERT_TRUE(w.Start());  // destroyed while running after restarts: must not hang
}

TEST(WorkerTimeoutTest, BlockingTaskPastTheLimitIsLeftToFinish) {
  NORV::sLog::LogCapture capture;
  auto w = std::make_unique<Worker>();
  ASSERT_TRUE(w->Start());
  const platform::DWORD tid = w->thread_id();
  std::atomic<bool> release{false}, blocking{false};
  std::atomic<int> after_block{0};
  w->PostTask([&] {
    blocking = true;
    WaitUntil([&] { return release.load(); }, 20s);
  });
  for (int i = 0; i < 10; ++i) w->PostTask([&] { ++after_block; });
  ASSERT_TRUE(WaitUntil([&] { return blocking.load(); }));

  auto start = std::chrono::steady_clock::now();
  w->Stop(200);
  int64_t took = MillisSince(start);
  EXPECT_GE(took, 200);
  EXPECT_LT(took, 2000);
  auto lines = capture.Matching("wait thread stop timeout, TerminateThread! entry cleaning:");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, NORV::sLog::kError);
  EXPECT_EQ(lines[0].function, "NKMsgFrameThread::Stop");
  EXPECT_EQ(lines[0].text,
            "wait thread stop timeout, TerminateThread! entry cleaning:[false][test "
            "worker]tid:" +
                std::to_string(tid) + "]");

  // Still alive: not running, and it cannot be started on top of itself.
  EXPECT_FALSE(w->IsRunning());
  EXPECT_FALSE(w->Start());
  EXPECT_EQ(w->cleanups.load(), 0);

  release = true;
  ASSERT_TRUE(WaitUntil([&] { return w->cleanups.load() == 1; }));
  EXPECT_EQ(w->cleanup_tid.load(), tid) << "Cleanup runs on the worker itself";
  EXPECT_EQ(after_block.load(), 0) << "queued tasks never run after the stop";
  ASSERT_TRUE(WaitUntil([&] { return w->thread_id() == 0; }));
  ASSERT_TRUE(w->Start()) << "the next Start joins the finished thread";
  w->Stop(3000);
}

TEST(WorkerTimeoutTest, BlockingInsideCleanupLogsTrueAndTheDestructorJoinsIt) {
  NORV::sLog::LogCapture capture;
  auto w = std::make_unique<Worker>();
  w->block_cleanup = true;
  ASSERT_TRUE(w->Start());
  w->Stop(100);
  EXPECT_EQ(capture.Count("entry cleaning:[true]"), 1u);
  EXPECT_EQ(w->cleanups.load(), 0) << "still inside Cleanup";
  w.reset();  // a thread left running would touch the freed worker
}

class MessageWorker : public Worker {
 public:
  MessageWorker() { RegisterMsgHandler(0x8064, this, &MessageWorker::OnProc); }
  bool OnProc(platform::WPARAM w, platform::LPARAM l) {
    std::lock_guard<std::mutex> lock(mu);
    got.push_back({w, l, platform::GetCurrentThreadId()});
    return true;
  }
  bool CallOnThreadMessage(uint32_t m) { return OnThreadMessage(m, 0, 0); }
  struct Got {
    platform::WPARAM w;
    platform::LPARAM l;
    platform::DWORD tid;
  };
  std::mutex mu;
  std::vector<Got> got;
};

TEST(WorkerMessageTest, ThreadMessageReachesItsHandlerOnTheWorker) {
  MessageWorker w;
  ASSERT_TRUE(w.Start());
  const platform::DWORD tid = w.thread_id();
  ASSERT_TRUE(platform::PostThreadMessage(tid, 0x8064, 0x1234'5678'9ABC'DEF0ULL,
                                          static_cast<platform::LPARAM>(-0x123456789LL)));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(w.mu);
    return !w.got.empty();
  }));
  {
    std::lock_guard<std::mutex> lock(w.mu);
    EXPECT_EQ(w.got[0].w, 0x1234'5678'9ABC'DEF0ULL);
    EXPECT_EQ(w.got[0].l, -0x123456789LL);
    EXPECT_EQ(w.got[0].tid, tid);
  }
  EXPECT_FALSE(w.CallOnThreadMessage(0x8065));
  EXPECT_TRUE(w.CallOnThreadMessage(0x8064));
  // Another number is dispatched without a handler and the loop goes on.
  EXPECT_TRUE(platform::PostThreadMessage(tid, 0x8065, 0, 0));
  std::atomic<bool> alive{false};
  w.PostTask([&] { alive = true; });
  EXPECT_TRUE(WaitUntil([&] { return alive.load(); }));
  w.Stop(3000);
  EXPECT_FALSE(platform::PostThreadMessage(tid, 0x8064, 0, 0)) << "dead thread id";
}

TEST(WorkerRaceTest, ProducerPostingWhileWorkerStopsAndRestarts) {
  Worker w;
  ASSERT_TRUE(w.Start());
  std::atomic<bool> stop{false};
  std::atomic<long> accepted{0}, ran{0};
  std::thread producer([&] {
    while (!stop) {
      if (w.PostTask([&] { ++ran; })) ++accepted;
      platform::PostThreadMessage(w.thread_id(), 0x8064, 1, 2);
    }
  });
  // The producer is posting before the restarts begin, however late it was scheduled.
  EXPECT_TRUE(WaitUntil([&] { return accepted.load() > 0; }));
  bool restarted = true;
  for (int i = 0; i < 20 && restarted; ++i) {
    w.Stop(3000);
    restarted = w.Start();
  }
  stop = true;
  producer.join();
  w.Stop(3000);
  EXPECT_TRUE(restarted);
  EXPECT_LE(ran.load(), accepted.load());
}

TEST(WorkerTeardownTest, TaskReleasingTheLastOwnerOfItsThreadDoesNotJoinItself) {
  NORV::sLog::LogCapture capture;
  {
    FrameworkThread warm_up("warm up");  // see FiftyStartStopCyclesLeakNothing
    ASSERT_TRUE(warm_up.Start(MessageLoop::kIO));
  }
  int baseline = testing_util::CountThreads();
  std::atomic<bool> posted{false}, released{false};
  {
    auto owner = std::make_shared<FrameworkThread>("self owned");
    ASSERT_TRUE(owner->Start(MessageLoop::kIO));
    FrameworkThread* raw = owner.get();
    // The only owner travels into a task on its own thread and dies there.
    raw->PostTask([keep = std::move(owner), &posted, &released]() mutable {
      WaitUntil([&] { return posted.load(); });
      keep.reset();
      released = true;  // orders the detached thread's log line before the test's end
    });
    posted = true;
  }
  EXPECT_TRUE(WaitUntil([&] { return released.load(); }));
  EXPECT_EQ(capture.Count("released its own thread object"), 1u);
  EXPECT_TRUE(WaitUntil([&] { return testing_util::CountThreads() == baseline; }));
}

}  // namespace
