// NKMsgFrameThread: handler table dispatch and the stop with a time limit.
#include "NKMsgFrameThread.h"

#include "log/log.h"
#include "platform/message_queue.h"

bool IWndMsgHandler::OnThreadMessage(uint32_t message, platform::WPARAM wParam,
                                     platform::LPARAM lParam) {
  Handler handler;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    auto it = handlers_.find(message);
    if (it == handlers_.end()) return false;
    handler = it->second;
  }
  // Called outside the lock: a handler may register others.
  return handler(wParam, lParam);
}

void IWndMsgHandler::RegisterMsgHandler(uint32_t message, Handler handler) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  handlers_[message] = std::move(handler);
}

NKMsgFrameThread::NKMsgFrameThread(std::string name) : FrameworkThread(std::move(name)) {}

NKMsgFrameThread::~NKMsgFrameThread() { FrameworkThread::Stop(); }

bool NKMsgFrameThread::Start() { return FrameworkThread::Start(MessageLoop::kUI); }

void NKMsgFrameThread::Init() {
  entry_cleaning_.store(false);
  MessageLoop* loop = message_loop();
  if (loop != nullptr && loop->type() == MessageLoop::kUI)
    static_cast<UIMessageLoop*>(loop)->AddUIObserver(this);
}

void NKMsgFrameThread::Cleanup() {
  entry_cleaning_.store(true);
  MessageLoop* loop = message_loop();
  if (loop != nullptr && loop->type() == MessageLoop::kUI)
    static_cast<UIMessageLoop*>(loop)->RemoveUIObserver(this);
}

void NKMsgFrameThread::PreProcessMessage(const WinUIMessagePump::MSG& msg) {
  OnThreadMessage(msg.message, msg.wParam, msg.lParam);
}

void NKMsgFrameThread::Stop(int64_t timeout_ms) {
  const platform::DWORD tid = thread_id();
  if (tid == 0) return;
  if (IsCurrentThread()) {
    // The worker cannot wait for itself: ask and return.
    StopSoon();
    platform::PostThreadMessage(tid, platform::kWmQuit, 0, 0);
    return;
  }
  if (!stopping()) StopSoon();
  // The UI pump looks at thread messages before each task, so a backlog does not delay this.
  platform::PostThreadMessage(tid, platform::kWmQuit, 0, 0);
  if (WaitForEnd(timeout_ms)) {
    Join();
    return;
  }
  LOGE << "wait thread stop timeout, TerminateThread! entry cleaning:"
       << "[" << (entry_cleaning_.load() ? "true" : "false") << "]"
       << "[" << name() << "]tid:" << tid << "]";
}
