// Thread and FrameworkThread on std::thread, with a finished flag in place of a thread handle.
#include "thread/framework_thread.h"

#include <exception>
#include <system_error>

#include "log/log.h"
#include "platform/thread.h"

Thread::Thread() : state_(std::make_shared<State>()) {}

Thread::~Thread() { Join(); }

bool Thread::Create() {
  if (thread_.joinable()) {
    if (!HasEnded()) return false;
    thread_.join();
  }
  std::shared_ptr<State> state = state_;
  {
    std::lock_guard<std::mutex> lock(state->mu);
    state->ended = false;
    state->id_published = false;
  }
  try {
    thread_ = std::thread([this, state] {
      os_id_.store(std::this_thread::get_id());
      thread_id_.store(platform::GetCurrentThreadId(), std::memory_order_release);
      {
        std::lock_guard<std::mutex> lock(state->mu);
        state->id_published = true;
      }
      state->cv.notify_all();
      Run();
      // From here on only the shared state: the object may be gone (see ~Thread).
      {
        std::lock_guard<std::mutex> lock(state->mu);
        state->ended = true;
      }
      state->cv.notify_all();
    });
  } catch (const std::system_error& e) {
    LOGE << "thread creation failed: " << e.what();
    std::lock_guard<std::mutex> lock(state->mu);
    state->ended = true;
    return false;
  }
  std::unique_lock<std::mutex> lock(state->mu);
  state->cv.wait(lock, [&] { return state->id_published; });
  return true;
}

void Thread::Join() {
  if (!thread_.joinable()) return;
  if (IsCurrentThread()) {
    LOGE << "thread " << thread_id() << " released its own thread object: detached, not joined";
    thread_.detach();
    return;
  }
  thread_.join();
  clear_thread_id();
}

bool Thread::WaitForEnd(int64_t timeout_ms) {
  std::unique_lock<std::mutex> lock(state_->mu);
  return state_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return state_->ended; });
}

bool Thread::HasEnded() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->ended;
}

bool Thread::IsCurrentThread() const {
  return !HasEnded() && os_id_.load() == std::this_thread::get_id();
}

FrameworkThread::FrameworkThread(std::string name)
    : core_(std::make_shared<Core>()), name_(std::move(name)) {}

FrameworkThread::~FrameworkThread() { Stop(); }

bool FrameworkThread::Start(int loop_type) {
  if (!HasEnded()) return false;
  loop_type_ = loop_type;
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    core_->started = false;
  }
  stopping_.store(false);
  if (!Create()) return false;
  std::unique_lock<std::mutex> lock(core_->mu);
  core_->cv.wait(lock, [this] { return core_->started; });
  return true;
}

void FrameworkThread::StopSoon() {
  bool expected = false;
  if (!stopping_.compare_exchange_strong(expected, true)) return;
  // Bound to this object: a quit task that outlives it does nothing.
  bool posted = Post(ToWeakCallback([] {
                       if (MessageLoop* loop = MessageLoop::current()) loop->Quit();
                     }),
                     false);
  if (!posted) stopping_.store(false);
}

void FrameworkThread::Stop() {
  if (IsCurrentThread()) {
    AbandonFromOwnThread();
    return;
  }
  if (!running()) return;
  StopSoon();
  Join();
  running_.store(false);
  stopping_.store(false);
}

void FrameworkThread::AbandonFromOwnThread() {
  // Called by a task that released the last owner of this very thread: the loop ends at its
  // next idle point and the body skips everything that needs the object.
  {
    std::lock_guard<std::mutex> lock(core_->mu);
    core_->owner_alive = false;
  }
  if (MessageLoop* loop = MessageLoop::current()) loop->Quit();
  Join();
}

bool FrameworkThread::PostTask(Task task) { return Post(std::move(task), true); }

bool FrameworkThread::PostNonNestableTask(Task task) { return Post(std::move(task), false); }

bool FrameworkThread::Post(Task task, bool nestable) {
  std::lock_guard<std::mutex> lock(core_->mu);
  if (core_->loop == nullptr) return false;
  if (nestable) {
    core_->loop->PostTask(std::move(task));
  } else {
    core_->loop->PostNonNestableTask(std::move(task));
  }
  return true;
}

MessageLoop* FrameworkThread::message_loop() const {
  std::lock_guard<std::mutex> lock(core_->mu);
  return core_->loop;
}

namespace {

std::unique_ptr<MessageLoop> MakeLoop(int type) {
  if (type == MessageLoop::kUI) return std::make_unique<UIMessageLoop>();
  if (type == MessageLoop::kIO) return std::make_unique<IOMessageLoop>();
  return std::make_unique<MessageLoop>(MessageLoop::kDefault);
}

template <typename F>
void RunHook(const char* hook, const std::string& name, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    LOGE << "[" << name << "] " << hook << " threw: " << e.what();
  } catch (...) {
    LOGE << "[" << name << "] " << hook << " threw";
  }
}

}  // namespace

void FrameworkThread::Run() {
  std::shared_ptr<Core> core = core_;
  platform::SetCurrentThreadName(name_);
  std::unique_ptr<MessageLoop> loop = MakeLoop(loop_type_);
  {
    std::lock_guard<std::mutex> lock(core->mu);
    core->loop = loop.get();
  }
  running_.store(true);
  RunHook("Init", name_, [this] { Init(); });
  {
    std::lock_guard<std::mutex> lock(core->mu);
    core->started = true;
  }
  core->cv.notify_all();

  loop->Run();

  bool owner_alive;
  {
    std::lock_guard<std::mutex> lock(core->mu);
    owner_alive = core->owner_alive;
  }
  if (owner_alive) RunHook("Cleanup", name_, [this] { Cleanup(); });
  {
    std::lock_guard<std::mutex> lock(core->mu);
    core->loop = nullptr;
  }
  loop.reset();
  if (!owner_alive) return;
  clear_thread_id();
  stopping_.store(false);
  running_.store(false);
}
