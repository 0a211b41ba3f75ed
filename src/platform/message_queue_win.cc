// Thread message queues on Win32: a UI loop sleeps in MsgWaitForMultipleObjectsEx and is woken
// by the work message on its message-only window; thread messages are the thread's own. An IO
// loop sleeps on a completion port.
#include "platform/win_util.h"

#include <algorithm>

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
  } else if (port_ != nullptr) {
    PostQueuedCompletionStatus(port_, 0, kWorkKey, nullptr);
  }
}

bool MessageQueue::Take(ThreadMessage* out) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
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
  if (window_.load() != nullptr) {
    MsgWaitForMultipleObjectsEx(0, nullptr, WaitMs(deadline_us), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return;
  }
  ::DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, WaitMs(deadline_us));
}

void RegisterThreadQueue(DWORD thread_id, MessageQueue* queue) {
  // On the owning thread: the window and the thread's queue belong to it.
  queue->owner_ = thread_id;
  if (!RegisterPumpClass()) return;
  HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ThisModule(), nullptr);
  queue->window_ = window;
  // Makes the thread's queue now, so that posts before its first wait are kept.
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

void UnregisterThreadQueue(DWORD, MessageQueue* queue) {
  if (HWND window = static_cast<HWND>(queue->window_.exchange(nullptr)); window != nullptr)
    DestroyWindow(window);
}

bool PostThreadMessage(DWORD thread_id, uint32_t message, WPARAM wParam, LPARAM lParam) {
  return ::PostThreadMessageW(thread_id, message, static_cast<::WPARAM>(wParam),
                              static_cast<::LPARAM>(lParam)) != 0;
}

}  // namespace platform
