// The process monitor: what it posts, when it ends, and that it can watch again after a stop.
#include "ScrcpyProcessMonitorThread.h"

#include <mutex>
#include <utility>
#include <vector>

#include "NKMsgFrameThread.h"
#include "adb/mirror_test_util.h"
#include "common/wait.h"
#include "log/log_capture.h"
#include "platform/process.h"

namespace {

using namespace mirror_test;
using NORV::sSubSystem::ProcessHelper;
using NORV::sSubSystem::ProcessInformation;
using Message = std::pair<platform::WPARAM, platform::LPARAM>;

constexpr uint32_t kMessage = 0x8064;

// A worker that records the monitor's messages, as the controller's worker would get them.
class Receiver : public NKMsgFrameThread {
 public:
  Receiver() : NKMsgFrameThread("MonitorReceiver") {
    RegisterMsgHandler(kMessage, [this](platform::WPARAM w, platform::LPARAM l) {
      std::lock_guard<std::mutex> lock(mu_);
      messages_.emplace_back(w, l);
      return true;
    });
    Start();
  }
  ~Receiver() override { FrameworkThread::Stop(); }
  std::vector<Message> messages() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
  }
  bool WaitForCount(size_t n) {
    return testing_util::WaitUntil([&] { return messages().size() >= n; });
  }
  // Everything posted so far has been handled once the worker has stopped.
  std::vector<Message> Drain() {
    FrameworkThread::Stop();
    return messages();
  }

 private:
  std::mutex mu_;
  std::vector<Message> messages_;
};

// A fake_cmd child, killed at the end of the test whatever happened.
class Child {
 public:
  explicit Child(const std::string& options) {
    std::string line = ProcessHelper::QuoteProgram(FAKE_CMD_PATH) + " " + options;
    pid_ = ProcessHelper::CreateProcessW(nullptr, line.c_str(), 0, false, nullptr, &info_, nullptr);
  }
  ~Child() { info_.process.KillAndWait(); }
  platform::DWORD pid() const { return pid_; }
  uint32_t Wait(int64_t ms) { return info_.process.Wait(ms); }

 private:
  ProcessInformation info_;
  platform::DWORD pid_ = 0;
};

// Where the first line holding `needle` stands in `log`, to check that one line follows another.
size_t IndexOf(const NORV::sLog::LogCapture& log, const std::string& needle) {
  std::vector<NORV::sLog::CapturedLine> lines = log.lines();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].text.find(needle) != std::string::npos) return i;
  return lines.size();
}

TEST(MonitorTest, NaturalEndGivesFoundThenOneEndThenLeaves) {
  NORV::sLog::LogCapture log;
  Receiver receiver;
  Child child("--sleep-ms 200");
  const platform::DWORD pid = child.pid();
  ASSERT_NE(pid, 0u);
  ScrcpyProcessMonitorThread monitor;
  ASSERT_TRUE(monitor.Start(pid, receiver.thread_id(), kMessage));
  ASSERT_TRUE(log.WaitFor("leave"));
  EXPECT_LT(IndexOf(log, "killed!!! PostThreadMessage :[true]"), IndexOf(log, "leave"));
  EXPECT_TRUE(testing_util::WaitUntil([&] { return monitor.HasEnded(); }));
  EXPECT_TRUE(monitor.running()) << "running until stopped";
  ASSERT_TRUE(receiver.WaitForCount(2));
  EXPECT_EQ(receiver.Drain(), (std::vector<Message>{{1, pid}, {0, 0}}));
  // The monitor reaped its child: nothing is left to reap.
  EXPECT_EQ(platform::ReapChildIfEnded(pid, nullptr), platform::ChildState::kNotOurs);
  monitor.Stop();
}

TEST(MonitorTest, StopEndsTheWatchSilentlyAndALaterStartWatchesAgain) {
  NORV::sLog::LogCapture log;
  Receiver receiver;
  ScrcpyProcessMonitorThread monitor;
  Child hanging("--hang");
  const platform::DWORD first = hanging.pid();
  ASSERT_TRUE(monitor.Start(first, receiver.thread_id(), kMessage));
  ASSERT_TRUE(receiver.WaitForCount(1));
  monitor.Stop();
  EXPECT_EQ(log.Count("signal nexit"), 1u);
  EXPECT_LT(IndexOf(log, "signal nexit"), IndexOf(log, "leave"));
  EXPECT_EQ(hanging.Wait(0), platform::kWaitTimeout) << "a stop leaves the process be";

  Child brief("--sleep-ms 100");
  const platform::DWORD second = brief.pid();
  ASSERT_TRUE(monitor.Start(second, receiver.thread_id(), kMessage));
  ASSERT_TRUE(receiver.WaitForCount(3));
  EXPECT_EQ(receiver.Drain(), (std::vector<Message>{{1, first}, {1, second}, {0, 0}}));
}

TEST(MonitorTest, WithoutANotifyThreadNothingIsPostedYetTheWatchEndsWithTheProcess) {
  NORV::sLog::LogCapture log;
  Child child("--sleep-ms 100");
  const platform::DWORD pid = child.pid();
  ScrcpyProcessMonitorThread monitor;
  ASSERT_TRUE(monitor.Start(pid, 0, kMessage));
  ASSERT_TRUE(log.WaitFor("leave"));
  EXPECT_EQ(log.Count("find pid:" + std::to_string(pid)), 1u);
  EXPECT_EQ(log.Count("PostThreadMessage"), 0u);
}

}  // namespace
