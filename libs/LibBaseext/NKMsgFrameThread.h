// NKMsgFrameThread: a worker with a UI loop, a table of thread-message handlers, and a stop
// with a time limit.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "message_loop/win_message_pump.h"
#include "platform/types.h"
#include "thread/framework_thread.h"

class IWndMsgHandler {
 public:
  using Handler = std::function<bool(platform::WPARAM, platform::LPARAM)>;

  virtual ~IWndMsgHandler() = default;

  // Worker thread. Calls the handler registered for `message`; false when there is none.
  virtual bool OnThreadMessage(uint32_t message, platform::WPARAM wParam, platform::LPARAM lParam);

  // Any thread; a later registration for the same number replaces the earlier one.
  void RegisterMsgHandler(uint32_t message, Handler handler);
  template <typename T>
  void RegisterMsgHandler(uint32_t message, T* object,
                          bool (T::*method)(platform::WPARAM, platform::LPARAM)) {
    RegisterMsgHandler(message, [object, method](platform::WPARAM w, platform::LPARAM l) {
      return (object->*method)(w, l);
    });
  }

 private:
  std::recursive_mutex mu_;
  std::map<uint32_t, Handler> handlers_;  // guarded by mu_
};

class NKMsgFrameThread : public FrameworkThread,
                         public IWndMsgHandler,
                         public WinUIMessagePump::UIObserver {
 public:
  explicit NKMsgFrameThread(std::string name);
  // Joins the thread. A derived class whose Init or Cleanup uses its own members must stop the
  // thread in its own destructor, before those members go.
  ~NKMsgFrameThread() override;

  // Starts the worker with a UI loop; returns after Init ran on it.
  bool Start();
  // Running and not asked to stop. False as well while a thread whose timed stop ran out is
  // still finishing.
  bool IsRunning() const { return thread_id() != 0 && !stopping(); }

  // Any thread but the worker's own. Asks the loop to quit, then waits at most timeout_ms. A
  // thread that does not end in time is never killed: the stop logs it and leaves the thread to
  // quit after its current task and run Cleanup itself. Start fails until it has ended; the
  // next Start or the destructor joins it.
  void Stop(int64_t timeout_ms);
  using FrameworkThread::Stop;

 protected:
  // Worker thread. Derived classes call these first.
  void Init() override;
  void Cleanup() override;

  void PreProcessMessage(const WinUIMessagePump::MSG& msg) override;
  void PostProcessMessage(const WinUIMessagePump::MSG&) override {}

  bool entry_cleaning() const { return entry_cleaning_.load(); }

 private:
  // Written by the worker, read by the stopping thread.
  std::atomic<bool> entry_cleaning_{false};
};
