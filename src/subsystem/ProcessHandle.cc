// ProcessHandle: a platform process with its pid, closed by its owner.
#include "subsystem/ProcessHandle.h"

namespace NORV::sSubSystem {

ProcessHandle::ProcessHandle(platform::DWORD pid, platform::DWORD /*access*/, bool /*inherit*/)
    : process_(platform::Process::Open(pid)) {}

bool ProcessHandle::KillAndWait() {
  if (!process_.Kill()) return false;
  process_.Wait(platform::kKillWaitMs);
  return true;
}

}  // namespace NORV::sSubSystem
