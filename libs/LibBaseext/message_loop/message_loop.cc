// MessageLoop: incoming, work, delayed and deferred queues over a pump.
#include "message_loop/message_loop.h"

#include <exception>

#include "log/log.h"
#include "platform/thread.h"

namespace {

thread_local MessageLoop* tls_current_loop = nullptr;

std::shared_ptr<MessagePump> MakePump(MessageLoop::Type type) {
  if (type == MessageLoop::kUI) return std::make_shared<WinUIMessagePump>();
  // The default and custom types are not used by the plug-in: they get the plain pump.
  return std::make_shared<WinIOMessagePump>();
}

}  // namespace

MessageLoop::MessageLoop(Type type) : MessageLoop(type, MakePump(type)) {}

MessageLoop::MessageLoop(Type type, std::shared_ptr<MessagePump> pump)
    : type_(type), pump_(std::move(pump)) {
  tls_current_loop = this;
}

MessageLoop::~MessageLoop() {
  // Deleting a task may post another (its destructor runs code): repeat, bounded.
  for (int i = 0; i < 100; ++i) {
    if (!DeletePendingTasks()) break;
  }
  if (tls_current_loop == this) tls_current_loop = nullptr;
}

MessageLoop* MessageLoop::current() { return tls_current_loop; }

void MessageLoop::PostTask(Task task) { PostPendingTask(std::move(task), 0, true); }

void MessageLoop::PostNonNestableTask(Task task) { PostPendingTask(std::move(task), 0, false); }

void MessageLoop::PostDelayedTask(Task task, int64_t delay_ms) {
  PostPendingTask(std::move(task), delay_ms, true);
}

void MessageLoop::PostNonNestableDelayedTask(Task task, int64_t delay_ms) {
  PostPendingTask(std::move(task), delay_ms, false);
}

void MessageLoop::PostPendingTask(Task task, int64_t delay_ms, bool nestable) {
  PendingTask pending;
  pending.task = std::move(task);
  pending.nestable = nestable;
  if (delay_ms > 0) pending.delayed_run_time = TimeTicks::Now().PlusMillis(delay_ms);
  AddToIncomingQueue(std::move(pending));
}

void MessageLoop::AddToIncomingQueue(PendingTask task) {
  std::shared_ptr<MessagePump> pump;
  {
    std::lock_guard<std::mutex> lock(incoming_mu_);
    bool was_empty = incoming_queue_.empty();
    incoming_queue_.push(std::move(task));
    // Only a post into an empty queue wakes the pump: a non-empty one is already scheduled.
    if (!was_empty) return;
    pump = pump_;
  }
  pump->ScheduleWork();
}

void MessageLoop::Run() {
  RunState state;
  state.run_depth = state_ != nullptr ? state_->run_depth + 1 : 1;
  RunState* previous = state_;
  state_ = &state;
  pump_->Run(this);
  state_ = previous;
}

void MessageLoop::Quit() {
  if (state_ != nullptr) state_->quit_received = true;
}

void MessageLoop::ReloadWorkQueue() {
  if (!work_queue_.empty()) return;
  std::lock_guard<std::mutex> lock(incoming_mu_);
  std::swap(work_queue_, incoming_queue_);
}

bool MessageLoop::DoWork() {
  if (!nestable_tasks_allowed_) return false;
  for (;;) {
    ReloadWorkQueue();
    if (work_queue_.empty()) return false;
    do {
      PendingTask task = std::move(work_queue_.front());
      work_queue_.pop();
      if (!task.delayed_run_time.is_null()) {
        task.sequence_num = next_sequence_num_++;
        TimeTicks run_time = task.delayed_run_time;
        delayed_work_queue_.push(std::move(task));
        if (delayed_work_queue_.top().delayed_run_time == run_time)
          pump_->ScheduleDelayedWork(run_time);
      } else if (RunOrDefer(std::move(task))) {
        return true;
      }
    } while (!work_queue_.empty());
  }
}

bool MessageLoop::DoDelayedWork(TimeTicks* next_delayed_work_time) {
  if (!nestable_tasks_allowed_ || delayed_work_queue_.empty()) {
    recent_time_ = *next_delayed_work_time = TimeTicks();
    return false;
  }
  TimeTicks next_run_time = delayed_work_queue_.top().delayed_run_time;
  if (next_run_time > recent_time_) {
    recent_time_ = TimeTicks::Now();
    if (next_run_time > recent_time_) {
      *next_delayed_work_time = next_run_time;
      return false;
    }
  }
  PendingTask task = delayed_work_queue_.top();
  delayed_work_queue_.pop();
  *next_delayed_work_time =
      delayed_work_queue_.empty() ? TimeTicks() : delayed_work_queue_.top().delayed_run_time;
  return RunOrDefer(std::move(task));
}

bool MessageLoop::DoIdleWork() {
  if (state_ != nullptr && state_->run_depth == 1 && !deferred_non_nestable_queue_.empty()) {
    PendingTask task = std::move(deferred_non_nestable_queue_.front());
    deferred_non_nestable_queue_.pop();
    RunTask(task);
    return true;
  }
  if (state_ != nullptr && state_->quit_received) pump_->Quit();
  return false;
}

bool MessageLoop::RunOrDefer(PendingTask task) {
  if (task.nestable || (state_ != nullptr && state_->run_depth == 1)) {
    RunTask(task);
    return true;
  }
  deferred_non_nestable_queue_.push(std::move(task));
  return false;
}

void MessageLoop::RunTask(PendingTask& task) {
  nestable_tasks_allowed_ = false;
  // A throwing task must not end the thread (or the host): log it and go on with the next.
  try {
    task.task();
  } catch (const std::exception& e) {
    LOGE << "task threw: " << e.what();
  } catch (...) {
    LOGE << "task threw a non-standard exception";
  }
  nestable_tasks_allowed_ = true;
}

bool MessageLoop::DeletePendingTasks() {
  bool deleted = false;
  auto drain = [&deleted](auto& queue) {
    while (!queue.empty()) {
      // Popped before destruction: a task's destructor may post into this loop.
      PendingTask doomed = std::move(queue.front());
      queue.pop();
      deleted = true;
    }
  };
  drain(work_queue_);
  drain(deferred_non_nestable_queue_);
  while (!delayed_work_queue_.empty()) {
    PendingTask doomed = delayed_work_queue_.top();
    delayed_work_queue_.pop();
    deleted = true;
  }
  {
    std::lock_guard<std::mutex> lock(incoming_mu_);
    std::swap(work_queue_, incoming_queue_);
  }
  drain(work_queue_);
  return deleted;
}

UIMessageLoop::UIMessageLoop()
    : MessageLoop(kUI, std::make_shared<WinUIMessagePump>()),
      thread_id_(platform::GetCurrentThreadId()) {
  platform::RegisterThreadQueue(thread_id_, &ui_pump()->queue());
}

UIMessageLoop::~UIMessageLoop() {
  platform::UnregisterThreadQueue(thread_id_, &ui_pump()->queue());
}

void UIMessageLoop::AddUIObserver(WinUIMessagePump::UIObserver* observer) {
  ui_pump()->AddObserver(observer);
}

void UIMessageLoop::RemoveUIObserver(WinUIMessagePump::UIObserver* observer) {
  ui_pump()->RemoveObserver(observer);
}

IOMessageLoop::IOMessageLoop() : MessageLoop(kIO, std::make_shared<WinIOMessagePump>()) {}
