// The two system facilities mirroring needs beyond the platform layer: a shell command run as a
// process group of its own under a time limit, and one wait on two descriptors (an event and a
// process) at once. Linux implementation in adb_os_linux.cc.
#pragma once

#include <cstdint>
#include <string>

namespace adb_os {

enum class RunResult { kDone, kPipeFailed, kNotStarted, kTimedOut, kCancelled };

// Runs `/bin/sh -c command` as the leader of a new process group (Windows: cmd.exe in a job
// object of its own), stdin from /dev/null, stdout and stderr both into `output`, no
// descriptor of ours inherited. Reads until every holder of the pipe has closed it and the shell
// has exited, for at most timeout_ms in all. At the limit the whole group is killed (the shell
// alone would leave its children holding the pipe) and reading stops. The shell is reaped on every
// path. *exit_code: its exit code, 128 + signal when killed, -1 when unknown. kPipeFailed: the
// output pipe could not be made. `cancel_fd` (an event's descriptor, -1 for none) ends the run as
// the limit does once it is set, with kCancelled.
RunResult RunShellInOwnGroup(const std::string& command, int64_t timeout_ms, std::string* output,
                             int* exit_code, int cancel_fd = -1);

inline constexpr uint32_t kWaitFirst = 0;
inline constexpr uint32_t kWaitSecond = 1;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

// Waits until `first_fd` or `second_fd` turns readable (an eventfd that is set, a pidfd whose
// process ended). The first wins when both are. timeout_ms < 0 waits without limit. Returns
// kWaitFirst, kWaitSecond, kWaitTimeout, or kWaitFailed for a descriptor that is unusable.
uint32_t WaitForEither(int first_fd, int second_fd, int64_t timeout_ms);

}  // namespace adb_os
