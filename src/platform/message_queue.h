// A thread's message queue: the Linux stand-in for a Win32 thread's queue plus its pump's hidden
// window. It carries thread messages (UI loops only) and one coalesced "work" signal, and lets
// the owning thread sleep until either arrives or a deadline passes.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/types.h"

namespace platform {

inline constexpr uint32_t kWmQuit = 0x0012;
inline constexpr uint32_t kWmUser = 0x0400;

struct ThreadMessage {
  uint32_t message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

class MessageQueue {
 public:
  MessageQueue() = default;
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Any thread. Appends a thread message and wakes the owner.
  void Post(const ThreadMessage& message);
  // Any thread. Raises the work signal and wakes the owner; a raised signal stays one signal.
  void SignalWork();

  // Owning thread only: take the oldest message, or clear the work signal.
  bool Take(ThreadMessage* out);
  bool TakeWorkSignal();

  // Owning thread only. Sleeps until a message or the work signal is pending, or until
  // deadline_us (NowMicros scale) has passed; a negative deadline waits without limit.
  void Wait(int64_t deadline_us);

 private:
  bool PendingLocked() const { return work_ || !messages_.empty(); }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<ThreadMessage> messages_;
  bool work_ = false;
};

// The process-wide map from thread id to that thread's queue, so that PostThreadMessage can
// reach a UI loop by its thread's id. A queue is entered by its loop before the thread's Init
// and left when the loop is destroyed.
void RegisterThreadQueue(DWORD thread_id, MessageQueue* queue);
void UnregisterThreadQueue(DWORD thread_id, MessageQueue* queue);

// Any thread. False when no live UI loop has that thread id.
bool PostThreadMessage(DWORD thread_id, uint32_t message, WPARAM wParam, LPARAM lParam);

}  // namespace platform
