// Thread message queues on Win32: a UI loop sleeps in MsgWaitForMultipleObjectsEx and is woken
// by the work message on its message-only window; thread messages are the thread's own. An IO
// loop sleeps on a completion port.
#include "platform/win_util.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "platform/clock.h"
#include "platform/message_queue.h"

namespace platform {
namespace {

constexpr UINT kWorkMessage = 0x0401;
constexpr wchar_t kWindowClass[] = L"OvalenMessagePumpWindow";
constexpr ULONG_PTR kWorkKey = 1;

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

LRESULT CALLBACK PumpWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // The work message carries nothing: the queue's flag says there is work.
  if (message == kWorkMessage) return 0;
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

bool RegisterPumpClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = PumpWindowProc;
    wc.hInstance = ThisModule();
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

// Milliseconds to wait until deadline_us, rounded up so that the deadline has passed on return.
::DWORD WaitMs(int64_t deadline_us) {
  if (deadline_us < 0) return INFINITE;
  int64_t left = deadline_us - NowMicros();
  if (left <= 0) return 0;
  return static_cast<::DWORD>(std::min<int64_t>((left + 999) / 1000, INFINITE - 1));
}

}  // namespace

MessageQueue::MessageQueue() {
  port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
}

MessageQueue::~MessageQueue() {
  if (port_ != nullptr) CloseHandle(port_);
}

void MessageQueue::Post(const ThreadMessage& message) {
  ::PostThreadMessageW(owner_.load(), message.message, static_cast<::WPARAM>(message.wParam),
                       static_cast<::LPARAM>(message.lParam));
}

void MessageQueue::SignalWork() {
  if (work_.exchange(true)) return;
  // A failed post (a full queue) is not lost: the owner checks the flag before it sleeps and
  // wakes on its other messages.
  if (HWND window = static_cast<HWND>(window_.load()); window != nullptr) {
    PostMessageW(window, kWorkMessage, 0, 0);
  } else if (::DWORD owner = owner_.load(); owner != 0) {
    // A UI loop whose window could not be made is woken through its thread's queue.
    ::PostThreadMessageW(owner, kWorkMessage, 0, 0);
  } else if (port_ != nullptr) {
    PostQueuedCompletionStatus(port_, 0, kWorkKey, nullptr);
  }
}

bool MessageQueue::Take(ThreadMessage* out) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.hwnd == nullptr && msg.message == kWorkMessage && window_.load() == nullptr) continue;
    if (msg.hwnd == nullptr) {
      *out = ThreadMessage{msg.message, static_cast<WPARAM>(msg.wParam),
                           static_cast<LPARAM>(msg.lParam)};
      return true;
    }
    if (msg.hwnd == window_.load() && msg.message == kWorkMessage) continue;
    // Windows that live on this thread (a host's, a timer's) are served as usual.
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return false;
}

bool MessageQueue::TakeWorkSignal() { return work_.exchange(false); }

void MessageQueue::Wait(int64_t deadline_us) {
  if (work_.load()) return;
  if (owner_.load() != 0) {
    MsgWaitForMultipleObjectsEx(0, nullptr, WaitMs(deadline_us), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return;
  }
  ::DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, WaitMs(deadline_us));
}

// The UI loops that live now, so that a post to a thread whose loop is gone fails, as on Linux
// (its Win32 queue would take the message and nobody would read it).
namespace {

struct Registry {
  std::mutex mu;
  std::unordered_set<DWORD> threads;
};

// Never destroyed: threads may still post while the process's static objects go away.
Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

void RegisterThreadQueue(DWORD thread_id, MessageQueue* queue) {
  // On the owning thread: the window and the thread's queue belong to it. The queue first, so
  // that posts before the first wait are kept whatever happens to the window.
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  queue->owner_ = thread_id;
  if (RegisterPumpClass())
    queue->window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     ThisModule(), nullptr);
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  r.threads.insert(thread_id);
}

void UnregisterThreadQueue(DWORD thread_id, MessageQueue* queue) {
  {
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    r.threads.erase(thread_id);
  }
  if (HWND window = static_cast<HWND>(queue->window_.exchange(nullptr)); window != nullptr)
    DestroyWindow(window);
}

bool PostThreadMessage(DWORD thread_id, uint32_t message, WPARAM wParam, LPARAM lParam) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (r.threads.count(thread_id) == 0) return false;
  return ::PostThreadMessageW(thread_id, message, static_cast<::WPARAM>(wParam),
                              static_cast<::LPARAM>(lParam)) != 0;
}

}  // namespace platform
