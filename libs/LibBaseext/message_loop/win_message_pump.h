// The two pumps of the plug-in's loops. The UI pump also takes thread messages (posted with
// PostThreadMessage to its thread's id) and shows each to its UI observers; the IO pump takes
// only work. Both sleep in one platform queue with the time to the next delayed task as limit.
#pragma once

#include <atomic>
#include <vector>

#include "message_loop/message_pump.h"
#include "platform/message_queue.h"

class WinMessagePump : public MessagePump {
 public:
  WinMessagePump() = default;
  ~WinMessagePump() override = default;

  void Run(Delegate* delegate) override;
  void Quit() override;
  void ScheduleWork() override;
  void ScheduleDelayedWork(TimeTicks delayed_work_time) override;

  platform::MessageQueue& queue() { return queue_; }

 protected:
  struct RunState {
    Delegate* delegate = nullptr;
    bool should_quit = false;
    int run_depth = 0;
  };

  virtual void DoRunLoop() = 0;
  // Loop thread: takes the pending work signal, if any, so that the next post signals again.
  bool TakeWorkSignal();
  // Loop thread: sleeps until a message, work or the delayed-work time.
  void WaitForWork();

  platform::MessageQueue queue_;
  // 1 while a work signal is in flight: posts into a busy pump do not signal again.
  std::atomic<int> have_work_{0};
  TimeTicks delayed_work_time_;
  RunState* state_ = nullptr;
};

class WinUIMessagePump : public WinMessagePump {
 public:
  using MSG = platform::ThreadMessage;

  class UIObserver {
   public:
    virtual ~UIObserver() = default;
    virtual void PreProcessMessage(const MSG& msg) = 0;
    virtual void PostProcessMessage(const MSG& msg) = 0;
  };

  // Loop thread.
  void AddObserver(UIObserver* observer);
  void RemoveObserver(UIObserver* observer);

 private:
  void DoRunLoop() override;
  bool ProcessNextMessage();
  void HandleMessage(const MSG& msg);

  // Removal during a notification leaves a null entry, skipped and compacted later.
  std::vector<UIObserver*> observers_;
  int notifying_ = 0;
};

class WinIOMessagePump : public WinMessagePump {
 private:
  void DoRunLoop() override;
};
