// ProcessHandle: a pidfd with its pid, closed by its owner.
#include "subsystem/ProcessHandle.h"

#include <utility>

#include "platform/process.h"

namespace NORV::sSubSystem {

ProcessHandle::ProcessHandle(platform::DWORD pid, platform::DWORD /*access*/, bool /*inherit*/)
    : pid_(pid), fd_(platform::OpenProcess(pid)) {}

ProcessHandle::~ProcessHandle() { Close(); }

ProcessHandle::ProcessHandle(ProcessHandle&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)), fd_(std::exchange(other.fd_, -1)) {}

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept {
  if (this != &other) {
    Close();
    pid_ = std::exchange(other.pid_, 0);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

ProcessHandle ProcessHandle::Adopt(platform::DWORD pid, int pidfd) {
  ProcessHandle handle;
  handle.pid_ = pid;
  handle.fd_ = pidfd;
  return handle;
}

uint32_t ProcessHandle::Wait(int64_t timeout_ms) {
  return platform::WaitForProcess(fd_, pid_, timeout_ms, nullptr);
}

void ProcessHandle::Close() {
  platform::CloseFd(fd_);
  fd_ = -1;
}

}  // namespace NORV::sSubSystem
