// Thread: one operating-system thread. FrameworkThread: a Thread that makes a message loop on
// the new thread and runs Init, the loop and Cleanup there.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "message_loop/message_loop.h"
#include "message_loop/weak_callback.h"
#include "platform/types.h"

class Thread {
 public:
  Thread();
  // Joins. A thread that destroys its own object is detached instead (it cannot wait for
  // itself); its body then must not touch the object again.
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Controlling thread. Starts the body and returns once the new thread has published its id.
  // False while an earlier body still runs, or when the system refuses a thread. A finished
  // earlier body is joined first.
  bool Create();
  // Controlling thread. Waits without limit for the body, then forgets the thread.
  void Join();
  // Any thread but the body's own. True once the body has returned (or none was started).
  bool WaitForEnd(int64_t timeout_ms);
  bool HasEnded() const;
  bool IsCurrentThread() const;

  // 0 while no thread runs.
  platform::DWORD thread_id() const { return thread_id_.load(std::memory_order_acquire); }

 protected:
  virtual void Run() {}
  void clear_thread_id() { thread_id_.store(0, std::memory_order_release); }

 private:
  // Shared with the body, so that a detached body can still report its end.
  struct State {
    mutable std::mutex mu;
    std::condition_variable cv;
    bool ended = true;
    bool id_published = false;
  };

  std::shared_ptr<State> state_;
  std::thread thread_;
  std::atomic<std::thread::id> os_id_{};
  std::atomic<platform::DWORD> thread_id_{0};
};

class FrameworkThread : public Thread, public virtual SupportWeakCallback {
 public:
  explicit FrameworkThread(std::string name);
  ~FrameworkThread() override;

  // Controlling thread. Returns after the new thread has made its loop and run Init.
  // False while an earlier body still runs.
  bool Start(int loop_type);
  // Any thread. Asks the loop to quit once it is idle.
  void StopSoon();
  // Controlling thread. StopSoon, then waits without limit for the thread to end.
  void Stop();

  // Any thread. Posts to the running loop; false (the task is dropped) when no loop runs:
  // before the first Start, and from the moment the ending thread begins to destroy its loop.
  bool PostTask(Task task);
  bool PostNonNestableTask(Task task);

  // The running loop; meant for the loop's own thread. Other threads post with PostTask.
  MessageLoop* message_loop() const;
  const std::string& name() const { return name_; }
  bool running() const { return running_.load(std::memory_order_acquire); }
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }

 protected:
  void Run() override;
  // Run on the new thread before and after its loop.
  virtual void Init() {}
  virtual void Cleanup() {}

 private:
  struct Core {
    mutable std::mutex mu;
    std::condition_variable cv;
    MessageLoop* loop = nullptr;  // guarded by mu: checked posts race the loop's destruction
    bool started = false;
    bool owner_alive = true;  // false once the object was destroyed by its own thread
  };

  bool Post(Task task, bool nestable);
  void AbandonFromOwnThread();

  std::shared_ptr<Core> core_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  int loop_type_ = MessageLoop::kDefault;
  const std::string name_;
};
