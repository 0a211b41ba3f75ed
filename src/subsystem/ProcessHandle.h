// A process opened by id, held as a pidfd: it stays that process even after its id is reused,
// and can be polled together with events.
#pragma once

#include <cstdint>

#include "platform/types.h"

namespace NORV::sSubSystem {

inline constexpr platform::DWORD kProcessTerminate = 0x0001;
inline constexpr platform::DWORD kProcessAllAccess = 0x1FFFFF;

class ProcessHandle {
 public:
  ProcessHandle() = default;
  // Opens `pid`. The access mask has no meaning on Linux, and the descriptor is never inherited
  // (every spawn closes descriptors from 3 up), whatever `inherit` says.
  ProcessHandle(platform::DWORD pid, platform::DWORD access, bool inherit);
  ~ProcessHandle();
  ProcessHandle(ProcessHandle&& other) noexcept;
  ProcessHandle& operator=(ProcessHandle&& other) noexcept;
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  // Takes over a pidfd of `pid` that the caller opened.
  static ProcessHandle Adopt(platform::DWORD pid, int pidfd);

  bool IsValid() const { return fd_ >= 0; }
  // The pidfd, or -1. It turns readable when the process ends.
  int handle() const { return fd_; }
  int fd() const { return fd_; }
  platform::DWORD pid() const { return pid_; }

  // 0 once the process has ended (and, when it is our child, been reaped), 258 after timeout_ms
  // (negative: no limit), 0xFFFFFFFF without a process.
  uint32_t Wait(int64_t timeout_ms);
  void Close();

 private:
  platform::DWORD pid_ = 0;
  int fd_ = -1;
};

}  // namespace NORV::sSubSystem
