// Unnamed events are Win32 events; the descriptor carries the handle for waits on several.
#include <errno.h>

#include "platform/event.h"
#include "platform/win_util.h"

namespace platform {

Event::Event(bool manual_reset, bool initially_set) : manual_reset_(manual_reset) {
  fd_ = win::FromHandle(CreateEventW(nullptr, manual_reset, initially_set, nullptr));
  // The callers read errno, as on Linux.
  if (fd_ < 0) errno = win::ErrnoFromWin32(GetLastError());
}

Event::~Event() {
  if (fd_ >= 0) CloseHandle(win::ToHandle(fd_));
}

bool Event::Set() { return fd_ >= 0 && SetEvent(win::ToHandle(fd_)) != 0; }

bool Event::Reset() { return fd_ >= 0 && ResetEvent(win::ToHandle(fd_)) != 0; }

bool Event::TryConsume() {
  // WaitForMultipleObjects already consumed an auto-reset event it reported.
  return true;
}

uint32_t Event::Wait(int64_t timeout_ms) {
  if (fd_ < 0) return kWaitFailed;
  return win::WaitForHandle(win::ToHandle(fd_), timeout_ms);
}

}  // namespace platform
