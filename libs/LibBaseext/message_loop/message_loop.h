// The task queue that every worker thread runs. Tasks may be posted from any thread; they run
// one at a time on the loop's own thread, in the order they were posted.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <vector>

#include "message_loop/message_pump.h"
#include "message_loop/time_ticks.h"
#include "message_loop/win_message_pump.h"

using Task = std::function<void()>;

struct PendingTask {
  Task task;
  TimeTicks delayed_run_time;  // null = run now
  int sequence_num = 0;
  bool nestable = true;
};

class MessageLoop : public MessagePump::Delegate {
 public:
  enum Type : int { kDefault = 0, kUI = 1, kIO = 2, kCustom = 3 };

  // Must be made on the thread that will run it: it becomes that thread's current loop.
  explicit MessageLoop(Type type = kDefault);
  ~MessageLoop() override;
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // The calling thread's loop, or null.
  static MessageLoop* current();

  Type type() const { return type_; }

  // Any thread.
  void PostTask(Task task);
  void PostNonNestableTask(Task task);
  void PostDelayedTask(Task task, int64_t delay_ms);
  void PostNonNestableDelayedTask(Task task, int64_t delay_ms);

  // Loop thread. Run returns once Quit has been called and the loop reaches an idle point.
  void Run();
  void Quit();

 protected:
  MessageLoop(Type type, std::shared_ptr<MessagePump> pump);

  // MessagePump::Delegate, loop thread.
  bool DoWork() override;
  bool DoDelayedWork(TimeTicks* next_delayed_work_time) override;
  bool DoIdleWork() override;

  // Any thread.
  virtual void AddToIncomingQueue(PendingTask task);

  MessagePump* pump() const { return pump_.get(); }

 private:
  struct RunState {
    int run_depth = 0;
    bool quit_received = false;
  };
  struct DelayedLater {
    bool operator()(const PendingTask& a, const PendingTask& b) const {
      if (a.delayed_run_time != b.delayed_run_time) return a.delayed_run_time > b.delayed_run_time;
      return a.sequence_num > b.sequence_num;
    }
  };
  using DelayedQueue = std::priority_queue<PendingTask, std::vector<PendingTask>, DelayedLater>;

  void PostPendingTask(Task task, int64_t delay_ms, bool nestable);
  void ReloadWorkQueue();
  bool RunOrDefer(PendingTask task);
  void RunTask(PendingTask& task);
  bool DeletePendingTasks();

  const Type type_;
  std::shared_ptr<MessagePump> pump_;

  std::mutex incoming_mu_;
  std::queue<PendingTask> incoming_queue_;  // guarded by incoming_mu_

  // Loop thread only.
  std::queue<PendingTask> work_queue_;
  std::queue<PendingTask> deferred_non_nestable_queue_;
  DelayedQueue delayed_work_queue_;
  int next_sequence_num_ = 0;
  bool nestable_tasks_allowed_ = true;
  RunState* state_ = nullptr;
  TimeTicks recent_time_;
};

class UIMessageLoop : public MessageLoop {
 public:
  UIMessageLoop();
  ~UIMessageLoop() override;

  // Loop thread.
  void AddUIObserver(WinUIMessagePump::UIObserver* observer);
  void RemoveUIObserver(WinUIMessagePump::UIObserver* observer);

 private:
  WinUIMessagePump* ui_pump() const { return static_cast<WinUIMessagePump*>(pump()); }
  uint32_t thread_id_;
};

class IOMessageLoop : public MessageLoop {
 public:
  IOMessageLoop();
};
