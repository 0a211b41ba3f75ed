// A process opened by id: it stays that process even after its id is reused, and can be waited
// for together with cancel tokens.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/process.h"
#include "platform/types.h"

namespace NORV::sSubSystem {

inline constexpr platform::DWORD kProcessTerminate = 0x0001;
inline constexpr platform::DWORD kProcessAllAccess = 0x1FFFFF;

class ProcessHandle {
 public:
  ProcessHandle() = default;
  // Opens `pid`. The access mask has no meaning on Linux, and the handle is never inherited
  // (every spawn closes descriptors from 3 up), whatever `inherit` says.
  ProcessHandle(platform::DWORD pid, platform::DWORD access, bool inherit);
  explicit ProcessHandle(platform::Process process) : process_(std::move(process)) {}

  bool IsValid() const { return process_.valid(); }
  platform::DWORD pid() const { return process_.pid(); }
  // For platform::WaitForAny.
  const platform::Process& process() const { return process_; }

  // 0 once the process has ended (and, when it is our child, been reaped), 258 after timeout_ms
  // (negative: no limit), 0xFFFFFFFF without a process.
  uint32_t Wait(int64_t timeout_ms) { return process_.Wait(timeout_ms); }
  // Kills it and waits up to platform::kKillWaitMs for it to be gone; true when it was killed.
  bool KillAndWait();
  void Close() { process_.Close(); }

 private:
  platform::Process process_;
};

}  // namespace NORV::sSubSystem
