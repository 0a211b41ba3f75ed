// Process groups and two-descriptor waits on Linux: posix_spawn with POSIX_SPAWN_SETPGROUP,
// pidfds and poll.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "adb_os.h"

extern char** environ;

namespace adb_os {

namespace {

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left until `deadline` for poll: -1 without a deadline, 0 once it has passed.
int LeftMs(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t left = deadline - NowMs();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

bool Expired(int64_t deadline) { return deadline >= 0 && NowMs() >= deadline; }

class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
};

// Waits for the shell to end and reaps it; its exit code, or -1 when someone else reaped it.
int Reap(int pidfd) {
  siginfo_t info{};
  for (;;) {
    if (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) == 0) break;
    if (errno != EINTR) return -1;  // ECHILD: a host that ignores SIGCHLD reaped it already
  }
  return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

}  // namespace

RunResult RunShellInOwnGroup(const std::string& command, int64_t timeout_ms, std::string* output,
                             int* exit_code, int cancel_fd) {
  output->clear();
  *exit_code = -1;
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) return RunResult::kPipeFailed;

  SpawnSetup setup;
  // Default signal handling and an empty mask, whatever the host's thread has.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attr, &none);
  posix_spawnattr_setsigdefault(&setup.attr, &all);
  posix_spawnattr_setpgroup(&setup.attr, 0);
  posix_spawnattr_setflags(&setup.attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  posix_spawn_file_actions_adddup2(&setup.actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);

  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  int rc =
      posix_spawn(&pid, "/bin/sh", &setup.actions, &setup.attr, const_cast<char**>(argv), environ);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    errno = rc;
    return RunResult::kNotStarted;
  }
  // Not reaped yet, so the pid is still this shell's and names its group.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    int saved = errno;
    kill(-pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    close(fds[0]);
    errno = saved;
    return RunResult::kNotStarted;
  }

  const int64_t deadline = timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
  bool timed_out = false, cancelled = false;
  const nfds_t count = cancel_fd >= 0 ? 2 : 1;
  char buffer[1024];
  // The output ends when every process of the group (and whoever they passed it to) closed it.
  for (;;) {
    if (Expired(deadline)) {
      timed_out = true;
      break;
    }
    pollfd p[2] = {{fds[0], POLLIN, 0}, {cancel_fd, POLLIN, 0}};
    int r = poll(p, count, LeftMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) continue;
    if (count == 2 && p[1].revents != 0) {
      cancelled = true;
      break;
    }
    ssize_t n = read(fds[0], buffer, sizeof(buffer));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    output->append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);

  // A shell that closed its output may still run.
  while (!timed_out && !cancelled) {
    pollfd p[2] = {{pidfd, POLLIN, 0}, {cancel_fd, POLLIN, 0}};
    int r = poll(p, count, LeftMs(deadline));
    if (r > 0 && p[0].revents != 0) break;
    if (r > 0) cancelled = true;
    if (r < 0 && errno != EINTR) break;
    if (Expired(deadline)) timed_out = true;
  }
  if (timed_out || cancelled) kill(-pid, SIGKILL);
  *exit_code = Reap(pidfd);
  close(pidfd);
  if (cancelled) return RunResult::kCancelled;
  return timed_out ? RunResult::kTimedOut : RunResult::kDone;
}

uint32_t WaitForEither(int first_fd, int second_fd, int64_t timeout_ms) {
  if (first_fd < 0 || second_fd < 0) return kWaitFailed;
  const int64_t deadline = timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
  for (;;) {
    pollfd p[2] = {{first_fd, POLLIN, 0}, {second_fd, POLLIN, 0}};
    int r = poll(p, 2, LeftMs(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return kWaitFailed;
    if (r == 0) {
      if (Expired(deadline)) return kWaitTimeout;
      continue;
    }
    if (((p[0].revents | p[1].revents) & POLLNVAL) != 0) return kWaitFailed;
    return p[0].revents != 0 ? kWaitFirst : kWaitSecond;
  }
}

}  // namespace adb_os
