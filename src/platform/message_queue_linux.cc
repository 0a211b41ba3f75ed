// Thread message queues and the thread-id registry behind PostThreadMessage.
#include <chrono>
#include <unordered_map>

#include "platform/message_queue.h"

namespace platform {
namespace {

struct Registry {
  std::mutex mu;
  std::unordered_map<DWORD, MessageQueue*> queues;
};

// Never destroyed: threads may still post while the process's static objects go away.
Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

void MessageQueue::Post(const ThreadMessage& message) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    messages_.push_back(message);
  }
  cv_.notify_one();
}

void MessageQueue::SignalWork() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (work_) return;
    work_ = true;
  }
  cv_.notify_one();
}

bool MessageQueue::Take(ThreadMessage* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (messages_.empty()) return false;
  *out = messages_.front();
  messages_.pop_front();
  return true;
}

bool MessageQueue::TakeWorkSignal() {
  std::lock_guard<std::mutex> lock(mu_);
  bool was = work_;
  work_ = false;
  return was;
}

void MessageQueue::Wait(int64_t deadline_us) {
  std::unique_lock<std::mutex> lock(mu_);
  if (deadline_us < 0) {
    cv_.wait(lock, [this] { return PendingLocked(); });
    return;
  }
  // NowMicros is CLOCK_MONOTONIC, which is what steady_clock reads on Linux.
  std::chrono::steady_clock::time_point deadline{std::chrono::microseconds(deadline_us)};
  cv_.wait_until(lock, deadline, [this] { return PendingLocked(); });
}

void RegisterThreadQueue(DWORD thread_id, MessageQueue* queue) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.queues[thread_id] = queue;
}

void UnregisterThreadQueue(DWORD thread_id, MessageQueue* queue) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.queues.find(thread_id);
  if (it != r.queues.end() && it->second == queue) r.queues.erase(it);
}

bool PostThreadMessage(DWORD thread_id, uint32_t message, WPARAM wParam, LPARAM lParam) {
  Registry& r = GetRegistry();
  // Posting under the registry lock keeps the queue alive: its loop unregisters it first.
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.queues.find(thread_id);
  if (it == r.queues.end()) return false;
  it->second->Post(ThreadMessage{message, wParam, lParam});
  return true;
}

}  // namespace platform
