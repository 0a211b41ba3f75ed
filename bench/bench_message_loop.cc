// Cross-thread task hand-off: a worker's message loop against a bare mutex+condvar queue.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "thread/framework_thread.h"

namespace {

constexpr int kTasks = 1'000'000;

double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The least a hand-off can cost: one lock, one queue, one condition variable.
double BaselineTasksPerSecond() {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> q;
  bool done = false;
  long ran = 0;
  std::thread consumer([&] {
    for (;;) {
      std::function<void()> f;
      {
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return done || !q.empty(); });
        if (q.empty()) return;
        f = std::move(q.front());
        q.pop_front();
      }
      f();
    }
  });
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kTasks; ++i) {
    {
      std::lock_guard<std::mutex> lock(mu);
      q.push_back([&ran] { ++ran; });
    }
    cv.notify_one();
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
  }
  cv.notify_one();
  consumer.join();
  return kTasks / SecondsSince(start);
}

double LoopTasksPerSecond(int type) {
  FrameworkThread worker("bench");
  worker.Start(type);
  std::atomic<long> ran{0};
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kTasks; ++i)
    worker.PostTask([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
  while (ran.load() < kTasks) std::this_thread::yield();
  double rate = kTasks / SecondsSince(start);
  worker.Stop();
  return rate;
}

}  // namespace

int main() {
  double baseline = BaselineTasksPerSecond();
  double ui = LoopTasksPerSecond(MessageLoop::kUI);
  double io = LoopTasksPerSecond(MessageLoop::kIO);
  std::printf("loop_post_ui %.0f tasks/s %.0f %.2f\n", ui, baseline, ui / baseline);
  std::printf("loop_post_io %.0f tasks/s %.0f %.2f\n", io, baseline, io / baseline);
  return 0;
}
