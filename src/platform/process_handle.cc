// Process handles, cancel tokens and shell commands under a limit, on top of each system's
// descriptors: the same code on Linux and Windows.
#include <chrono>
#include <thread>
#include <utility>

#include "platform/clock.h"
#include "platform/process.h"

namespace platform {

WaitTarget::WaitTarget(const Process& process) : fd_(process.fd_) {}

uint32_t WaitForAny(std::initializer_list<WaitTarget> targets, int64_t timeout_ms) {
  int fds[8];
  size_t count = 0;
  for (const WaitTarget& target : targets) {
    if (count == 8) return kWaitFailed;
    fds[count++] = target.fd_;
  }
  return WaitForAny(fds, count, timeout_ms);
}

Process::~Process() { Close(); }

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Close();
    pid_ = std::exchange(other.pid_, 0);
    fd_ = std::exchange(other.fd_, -1);
    output_fd_ = std::exchange(other.output_fd_, -1);
    group_fd_ = std::exchange(other.group_fd_, -1);
    ours_ = std::exchange(other.ours_, false);
    group_ = std::exchange(other.group_, false);
    code_ = std::exchange(other.code_, std::nullopt);
  }
  return *this;
}

SpawnResult Process::Adopt(SpawnResult result, const SpawnRequest& request,
                           const SpawnedProcess& child, Process* out) {
  *out = Process();
  if (result != SpawnResult::kOk) return result;
  out->pid_ = child.pid;
  out->fd_ = child.pidfd;
  out->output_fd_ = child.output_fd;
  out->group_fd_ = child.group_fd;
  out->ours_ = request.caller_reaps;
  out->group_ = request.own_group;
  return result;
}

SpawnResult Process::Start(const SpawnRequest& request, Process* out) {
  SpawnedProcess child;
  SpawnResult result = Spawn(request, &child);
  return Adopt(result, request, child, out);
}

SpawnResult Process::StartShell(std::string_view command, const SpawnRequest& request,
                                Process* out) {
  SpawnedProcess child;
  SpawnResult result = SpawnShell(command, request, &child);
  return Adopt(result, request, child, out);
}

Process Process::Open(DWORD pid) {
  Process process;
  process.fd_ = OpenProcess(pid);
  if (process.fd_ >= 0) process.pid_ = pid;
  return process;
}

uint32_t Process::Wait(int64_t timeout_ms, CancelToken* cancel) {
  if (code_) return kWaitObject0;
  if (fd_ < 0) return kWaitFailed;
  const int64_t deadline = DeadlineAfterMs(timeout_ms);
  const int fds[2] = {fd_, FdOf(cancel)};
  for (;;) {
    uint32_t woke = WaitForAny(fds, cancel != nullptr ? 2 : 1, MsUntil(deadline));
    if (woke != kWaitObject0) return woke;
    int code = -1;
    ChildState state = ours_ ? ReapOwnChildIfEnded(pid_, &code) : ReapChildIfEnded(pid_, &code);
    if (state != ChildState::kRunning) {
      code_ = state == ChildState::kReaped ? code : -1;
      return kWaitObject0;
    }
    if (DeadlinePassed(deadline)) return kWaitTimeout;
    // A pidfd turns readable a moment before its process can be reaped.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool Process::Kill() { return fd_ >= 0 && !code_ && SignalProcess(fd_, 9); }

bool Process::Signal(int signal) { return fd_ >= 0 && !code_ && SignalProcess(fd_, signal); }

bool Process::KillGroup() { return group_ && !code_ && platform::KillGroup(pid_, group_fd_); }

int64_t Process::ReadOutput(void* buffer, size_t size, int64_t timeout_ms, CancelToken* cancel,
                            uint32_t* woke) {
  return platform::ReadOutput(output_fd_, buffer, size, timeout_ms, FdOf(cancel), woke);
}

void Process::CloseOutput() {
  CloseFd(output_fd_);
  output_fd_ = -1;
}

void Process::Close() {
  CloseOutput();
  CloseGroup(group_fd_);
  group_fd_ = -1;
  // A child of ours left unreaped goes back to the registry, which reaps it once it ends.
  if (ours_ && !code_) ReleaseOwnChild(pid_);
  CloseFd(fd_);
  fd_ = -1;
  pid_ = 0;
  ours_ = false;
  group_ = false;
}

namespace {

// Reads the output until every holder of it closed it: kWaitObject0, or kWaitTimeout at the
// deadline or kWaitObject0 + 1 once `cancel` is set, keeping what came before.
uint32_t ReadToEnd(Process* shell, int64_t deadline, CancelToken* cancel, std::string* output) {
  char buffer[1024];
  for (;;) {
    // A group that writes without end must not outlast the limit either.
    if (DeadlinePassed(deadline)) return kWaitTimeout;
    uint32_t woke = kWaitObject0;
    int64_t n = shell->ReadOutput(buffer, sizeof(buffer), MsUntil(deadline), cancel, &woke);
    if (n > 0) output->append(buffer, static_cast<size_t>(n));
    if (woke != kWaitObject0) return woke;
    if (n <= 0) return kWaitObject0;
  }
}

}  // namespace

RunResult RunShellCommand(std::string_view command, int64_t timeout_ms, CancelToken* cancel,
                          std::string* output, int* exit_code) {
  output->clear();
  *exit_code = -1;
  SpawnRequest request;
  request.capture_output = true;
  request.caller_reaps = true;
  request.own_group = true;
  request.show_window = 0;
  Process shell;
  SpawnResult spawned = Process::StartShell(command, request, &shell);
  if (spawned == SpawnResult::kPipeFailed) return RunResult::kPipeFailed;
  if (spawned != SpawnResult::kOk) return RunResult::kNotStarted;

  const int64_t deadline = DeadlineAfterMs(timeout_ms);
  uint32_t woke = ReadToEnd(&shell, deadline, cancel, output);
  shell.CloseOutput();
  // A shell that closed its output may still run.
  if (woke == kWaitObject0) woke = shell.Wait(MsUntil(deadline), cancel);
  // The shell alone would leave its children holding the pipe. What it left running on
  // purpose (a server it started) is spared otherwise, as a process group it left.
  if (woke != kWaitObject0) {
    shell.KillGroup();
    shell.Wait(kKillWaitMs);
  }
  *exit_code = shell.exit_code();
  if (woke == kWaitObject0 + 1) return RunResult::kCancelled;
  return woke == kWaitObject0 ? RunResult::kDone : RunResult::kTimedOut;
}

}  // namespace platform
