// A thread's message queue: on Windows the thread's own queue plus its pump's message-only
// window (or a completion port for IO loops), on Linux a stand-in for them. It carries thread
// messages (UI loops only) and one coalesced "work" signal, and lets the owning thread sleep
// until either arrives or a deadline passes.
#pragma once

#include <atomic>
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
#ifdef _WIN32
  MessageQueue();
  ~MessageQueue();
#else
  MessageQueue() = default;
#endif
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
#ifdef _WIN32
  friend void RegisterThreadQueue(DWORD, MessageQueue*);
  friend void UnregisterThreadQueue(DWORD, MessageQueue*);

  // A UI loop's queue is its thread's own Win32 queue, woken through a message-only window;
  // an IO loop's is a completion port.
  std::atomic<void*> window_{nullptr};  // HWND, made and destroyed by the owning thread
  void* port_ = nullptr;                // HANDLE of the completion port
  std::atomic<DWORD> owner_{0};
  std::atomic<bool> work_{false};
#else
  bool PendingLocked() const { return work_ || !messages_.empty(); }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<ThreadMessage> messages_;
  bool work_ = false;
#endif
};

// The process-wide map from thread id to that thread's queue, so that PostThreadMessage can
// reach a UI loop by its thread's id. A queue is entered by its loop before the thread's Init
// and left when the loop is destroyed.
void RegisterThreadQueue(DWORD thread_id, MessageQueue* queue);
void UnregisterThreadQueue(DWORD thread_id, MessageQueue* queue);

// Any thread. False when no live UI loop has that thread id.
bool PostThreadMessage(DWORD thread_id, uint32_t message, WPARAM wParam, LPARAM lParam);

}  // namespace platform
