// The UI and IO pumps: run loops over the delegate, coalesced wake-ups, no busy wait.
#include "message_loop/win_message_pump.h"

#include <algorithm>

void WinMessagePump::Run(Delegate* delegate) {
  RunState state;
  state.delegate = delegate;
  state.run_depth = state_ != nullptr ? state_->run_depth + 1 : 1;
  RunState* previous = state_;
  state_ = &state;
  DoRunLoop();
  state_ = previous;
}

void WinMessagePump::Quit() {
  if (state_ != nullptr) state_->should_quit = true;
}

void WinMessagePump::ScheduleWork() {
  // The cheap read first: a pump that already has a signal in flight needs nothing.
  if (have_work_.load(std::memory_order_relaxed) == 1) return;
  if (have_work_.exchange(1, std::memory_order_acq_rel) == 1) return;
  queue_.SignalWork();
}

void WinMessagePump::ScheduleDelayedWork(TimeTicks delayed_work_time) {
  // Always called on the loop's own thread, so the wait below sees it: nothing else to wake.
  delayed_work_time_ = delayed_work_time;
}

bool WinMessagePump::TakeWorkSignal() {
  if (!queue_.TakeWorkSignal()) return false;
  // Cleared before the delegate looks at its queue, so a post made meanwhile signals again.
  have_work_.store(0, std::memory_order_release);
  return true;
}

void WinMessagePump::WaitForWork() {
  int64_t deadline = delayed_work_time_.is_null() ? -1 : delayed_work_time_.ToMicros();
  queue_.Wait(deadline);
}

void WinUIMessagePump::AddObserver(UIObserver* observer) { observers_.push_back(observer); }

void WinUIMessagePump::RemoveObserver(UIObserver* observer) {
  auto it = std::find(observers_.begin(), observers_.end(), observer);
  if (it == observers_.end()) return;
  if (notifying_ > 0) {
    *it = nullptr;
  } else {
    observers_.erase(it);
  }
}

void WinUIMessagePump::DoRunLoop() {
  for (;;) {
    bool more_work = ProcessNextMessage();
    if (state_->should_quit) break;
    more_work |= state_->delegate->DoWork();
    if (state_->should_quit) break;
    more_work |= state_->delegate->DoDelayedWork(&delayed_work_time_);
    if (state_->should_quit) break;
    if (more_work) continue;
    more_work = state_->delegate->DoIdleWork();
    if (state_->should_quit) break;
    if (more_work) continue;
    WaitForWork();
  }
}

bool WinUIMessagePump::ProcessNextMessage() {
  bool had_signal = TakeWorkSignal();
  MSG msg;
  if (!queue_.Take(&msg)) return had_signal;
  if (msg.message == platform::kWmQuit) {
    state_->should_quit = true;
    // Re-posted so that an outer (nested) loop quits too.
    queue_.Post(msg);
    return false;
  }
  HandleMessage(msg);
  return true;
}

void WinUIMessagePump::HandleMessage(const MSG& msg) {
  // Thread messages have no window to be dispatched to: the observers are their receivers.
  ++notifying_;
  for (size_t i = 0; i < observers_.size(); ++i)
    if (observers_[i] != nullptr) observers_[i]->PreProcessMessage(msg);
  for (size_t i = 0; i < observers_.size(); ++i)
    if (observers_[i] != nullptr) observers_[i]->PostProcessMessage(msg);
  if (--notifying_ == 0)
    observers_.erase(std::remove(observers_.begin(), observers_.end(), nullptr), observers_.end());
}

void WinIOMessagePump::DoRunLoop() {
  for (;;) {
    bool more_work = state_->delegate->DoWork();
    if (state_->should_quit) break;
    more_work |= TakeWorkSignal();
    if (state_->should_quit) break;
    more_work |= state_->delegate->DoDelayedWork(&delayed_work_time_);
    if (state_->should_quit) break;
    if (more_work) continue;
    more_work = state_->delegate->DoIdleWork();
    if (state_->should_quit) break;
    if (more_work) continue;
    WaitForWork();
  }
}
