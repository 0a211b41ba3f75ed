// ScrcpyProcessMonitorThread: watches one process on a thread of its own and posts a thread
// message when it starts watching it and another when it ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/process.h"
#include "platform/types.h"
#include "thread/framework_thread.h"

class ScrcpyProcessMonitorThread : private Thread {
 public:
  // wParam of the posted messages; lParam is the pid for kFound and 0 for kEnded.
  static constexpr platform::WPARAM kFound = 1;
  static constexpr platform::WPARAM kEnded = 0;

  // `exe_name` is looked up when Start gets no pid.
  explicit ScrcpyProcessMonitorThread(std::string exe_name = "");
  ~ScrcpyProcessMonitorThread() override;

  // Controlling thread. Watches `pid` and posts to `notify_thread_id` (nothing when it or
  // `notify_message` is 0). True without change while an earlier Start has not been stopped,
  // even when that watch has ended.
  bool Start(platform::DWORD pid, platform::DWORD notify_thread_id, uint32_t notify_message);
  // Controlling thread. Ends the watch and joins the thread; posts nothing further.
  void Stop();

  bool running() const { return running_.load(); }
  // The watch ended by itself (its process ended), or the thread never ran.
  using Thread::HasEnded;
  using Thread::thread_id;

  // The pause between looks for a process by name, or after a watch failed.
  static constexpr int64_t kRetryMs = 1000;

 private:
  void Run() override;
  void Notify(platform::WPARAM wParam, platform::LPARAM lParam, const char* what);

  std::atomic<bool> running_{false};
  const std::string exe_name_;
  std::atomic<platform::DWORD> pid_{0};
  std::atomic<platform::DWORD> cur_pid_{0};
  // Written by Start before the thread starts, read by the thread.
  platform::DWORD notify_thread_id_ = 0;
  uint32_t notify_message_ = 0;
  platform::CancelToken stop_;
};
