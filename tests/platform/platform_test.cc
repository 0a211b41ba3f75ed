// The platform core: events, thread queues and the replaceable millisecond clock.
#ifndef _WIN32
#include <poll.h>
#endif

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/wait.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/message_queue.h"
#include "platform/thread.h"

namespace {

using namespace std::chrono_literals;

TEST(EventTest, AutoResetWaitConsumesTheSignalManualResetStaysSetUntilReset) {
  platform::Event e(false, false);
  ASSERT_TRUE(e.valid());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(e.Wait(50), platform::kWaitTimeout);
  EXPECT_GE(testing_util::MillisSince(start), 50);
  EXPECT_TRUE(e.Set());
  EXPECT_EQ(e.Wait(0), platform::kWaitObject0);
  EXPECT_EQ(e.Wait(0), platform::kWaitTimeout);
  platform::Event manual(true, true);
  EXPECT_EQ(manual.Wait(0), platform::kWaitObject0);
  EXPECT_EQ(manual.Wait(0), platform::kWaitObject0);
  manual.Reset();
  EXPECT_EQ(manual.Wait(10), platform::kWaitTimeout);
}

TEST(EventTest, AutoResetWakesOneWaiterOnce) {
  platform::Event e(false, false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (e.Wait(300) == platform::kWaitObject0) ++woken;
    });
  e.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 1);
  // Setting a set event again is still one signal.
  e.Set();
  e.Set();
  EXPECT_EQ(e.Wait(0), platform::kWaitObject0);
  EXPECT_EQ(e.Wait(0), platform::kWaitTimeout);
}

#ifndef _WIN32
TEST(EventTest, DescriptorPollsReadableWhileSet) {
  platform::Event e(false, false);
  pollfd p{e.fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  std::thread setter([&] { e.Set(); });
  EXPECT_EQ(poll(&p, 1, 5000), 1);
  setter.join();
  EXPECT_TRUE(e.TryConsume());
  EXPECT_FALSE(e.TryConsume());
}
#endif

TEST(ThreadQueueTest, PostThreadMessageReachesOnlyRegisteredThreads) {
  platform::MessageQueue queue;
  std::atomic<platform::DWORD> tid{0};
  std::atomic<bool> registered{false}, done{false};
  platform::ThreadMessage got;
  std::thread owner([&] {
    tid = platform::GetCurrentThreadId();
    platform::RegisterThreadQueue(tid, &queue);
    registered = true;
    queue.Wait(platform::NowMicros() + 5'000'000);
    queue.Take(&got);
    platform::UnregisterThreadQueue(tid, &queue);
    done = true;
  });
  ASSERT_TRUE(testing_util::WaitUntil([&] { return registered.load(); }));
  EXPECT_TRUE(platform::PostThreadMessage(tid, 0x8064, 0xFFFF'FFFF'0000'0001ULL, -2));
  owner.join();
  EXPECT_EQ(got.message, 0x8064u);
  EXPECT_EQ(got.wParam, 0xFFFF'FFFF'0000'0001ULL);
  EXPECT_EQ(got.lParam, -2);
  // Gone from the registry with its loop: posting now fails.
  EXPECT_FALSE(platform::PostThreadMessage(tid, 0x8064, 0, 0));
}

TEST(ThreadQueueTest, WaitHonoursDeadlineAndCoalescesWork) {
  platform::MessageQueue queue;
  auto start = std::chrono::steady_clock::now();
  queue.Wait(platform::NowMicros() + 30'000);
  EXPECT_GE(testing_util::MillisSince(start), 30);
  queue.SignalWork();
  queue.SignalWork();
  EXPECT_TRUE(queue.TakeWorkSignal());
  EXPECT_FALSE(queue.TakeWorkSignal());
}

uint32_t FixedClock() { return 123456; }

TEST(ClockTest, MillisecondClockCountsFromProcessStartAndCanBeReplaced) {
  uint32_t now = platform::ClockMs();
  // The test process started moments ago, not at boot.
  EXPECT_LT(now, 10u * 60 * 1000);
  platform::SetClockMsForTesting(&FixedClock);
  EXPECT_EQ(platform::ClockMs(), 123456u);
  platform::SetClockMsForTesting(nullptr);
  EXPECT_GE(platform::ClockMs(), now);
}

}  // namespace
