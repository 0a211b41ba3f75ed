// Processes on Linux: posix_spawn from an argument vector, a registry of our children reaped
// through their pidfds, /proc snapshots.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/process.h"

extern char** environ;

namespace platform {

namespace {

// Raw system calls: glibc 2.36 declares its wrappers without C linkage for C++.
int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
int PidfdKill(int pidfd) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
}

// Children we started and have not reaped, by pid, each with a pidfd of the registry's own.
// Reaping goes through the pidfd so that a pid the host reaped and the kernel reused is never
// mistaken for ours.
class ChildRegistry {
 public:
  static ChildRegistry& Get() {
    // Never destroyed: children may be reaped from threads that outlive static destruction.
    static ChildRegistry* registry = new ChildRegistry;
    return *registry;
  }

  void Add(DWORD pid, int pidfd, bool caller_reaps) {
    std::lock_guard<std::mutex> lock(mu_);
    ReapEndedLocked();
    auto [it, added] = children_.try_emplace(pid, Child{pidfd, caller_reaps});
    if (!added) {
      close(it->second.pidfd);
      it->second = Child{pidfd, caller_reaps};
    }
  }

  // Children nobody watches are reaped at the next spawn or snapshot at the latest, so that
  // they do not stay zombies.
  void ReapEnded() {
    std::lock_guard<std::mutex> lock(mu_);
    ReapEndedLocked();
  }

  ChildState ReapIfEnded(DWORD pid, int* exit_code, bool as_launcher) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = children_.find(pid);
    if (it == children_.end() || (it->second.caller_reaps && !as_launcher))
      return ChildState::kNotOurs;
    ChildState state = TryReapLocked(it->second.pidfd, exit_code);
    if (state == ChildState::kReaped) {
      close(it->second.pidfd);
      children_.erase(it);
    }
    return state;
  }

 private:
  struct Child {
    int pidfd;
    bool caller_reaps;
  };

  void ReapEndedLocked() {
    for (auto it = children_.begin(); it != children_.end();) {
      if (it->second.caller_reaps ||
          TryReapLocked(it->second.pidfd, nullptr) == ChildState::kRunning) {
        ++it;
      } else {
        close(it->second.pidfd);
        it = children_.erase(it);
      }
    }
  }

  static ChildState TryReapLocked(int pidfd, int* exit_code) {
    siginfo_t info{};
    for (;;) {
      if (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG) == 0) break;
      if (errno == EINTR) continue;
      // ECHILD: someone else (the host) reaped it already.
      if (exit_code != nullptr) *exit_code = -1;
      return ChildState::kReaped;
    }
    if (info.si_pid == 0) return ChildState::kRunning;
    if (exit_code != nullptr) {
      *exit_code = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    }
    return ChildState::kReaped;
  }

  std::mutex mu_;
  std::unordered_map<DWORD, Child> children_;
};

// posix_spawn attributes and file actions, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

std::string ReadSmallFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buffer[512];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

std::string ProcessName(const std::string& dir) {
  char target[4096];
  ssize_t n = readlink((dir + "/exe").c_str(), target, sizeof(target) - 1);
  if (n > 0) {
    std::string path(target, static_cast<size_t>(n));
    // A replaced or removed binary still names the process.
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted))
      path.resize(path.size() - kDeleted.size());
    return path.substr(path.rfind('/') + 1);
  }
  // Kernel threads and other users' processes have no readable exe link.
  std::string comm = ReadSmallFile(dir + "/comm");
  while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  return comm;
}

// A deadline in microseconds of NowMicros for a limit in milliseconds; -1 for none.
int64_t Deadline(int64_t timeout_ms) {
  return timeout_ms < 0 ? -1 : NowMicros() + timeout_ms * 1000;
}

// Whole milliseconds left until `deadline`, rounded up: -1 without one, 0 once it has passed.
int64_t LeftMs(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t left_us = deadline - NowMicros();
  return left_us <= 0 ? 0 : (left_us + 999) / 1000;
}

bool IsZombie(const std::string& dir) {
  // "PID (comm) S ...": comm may hold blanks and parentheses, so the state follows the last ')'.
  std::string stat = ReadSmallFile(dir + "/stat");
  size_t close_paren = stat.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 >= stat.size()) return true;
  char state = stat[close_paren + 2];
  return state == 'Z' || state == 'X';
}

}  // namespace

std::string ShellQuote(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += '\'';
  return out;
}

SpawnResult SpawnShell(std::string_view command, const SpawnRequest& request, SpawnedProcess* out) {
  SpawnRequest shell = request;
  shell.program = "/bin/sh";
  shell.argv = {"sh", "-c", std::string(command)};
  return Spawn(shell, out);
}

SpawnResult Spawn(const SpawnRequest& request, SpawnedProcess* out) {
  *out = SpawnedProcess{};
  if (request.argv.empty() || (request.program.empty() && request.argv[0].empty())) {
    errno = EINVAL;
    return SpawnResult::kSpawnFailed;
  }

  int pipe_fds[2] = {-1, -1};
  if (request.capture_output && pipe2(pipe_fds, O_CLOEXEC) != 0) return SpawnResult::kPipeFailed;
  auto close_pipe = [&] {
    int saved = errno;
    for (int& fd : pipe_fds) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
    errno = saved;
  };

  SpawnSetup setup;
  // The child starts with default signal handling and nothing blocked, whatever the host's
  // thread had: an ignored SIGPIPE or a blocked SIGTERM would otherwise be inherited.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attr_, &none);
  posix_spawnattr_setsigdefault(&setup.attr_, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (request.own_group) {
    posix_spawnattr_setpgroup(&setup.attr_, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&setup.attr_, flags);

  if (request.capture_output) {
    posix_spawn_file_actions_adddup2(&setup.actions_, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions_, pipe_fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&setup.actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (!request.directory.empty())
    posix_spawn_file_actions_addchdir_np(&setup.actions_, request.directory.c_str());
  // Nothing of ours or the host's reaches the child: a pipe end or socket held by a long-lived
  // child would keep our reads from ever ending.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions_, 3);

  std::vector<char*> argv;
  for (const std::string& arg : request.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  int rc = request.program.empty()
               ? posix_spawnp(&pid, argv[0], &setup.actions_, &setup.attr_, argv.data(), environ)
               : posix_spawn(&pid, request.program.c_str(), &setup.actions_, &setup.attr_,
                             argv.data(), environ);
  if (rc != 0) {
    // A failed exec has been reaped by posix_spawn itself.
    close_pipe();
    errno = rc;
    return SpawnResult::kSpawnFailed;
  }

  // Until it is reaped the pid stays this child's; only a host's wait for any child could take
  // it first (ESRCH).
  int pidfd = PidfdOpen(pid);
  if (pidfd < 0) {
    int saved = errno;
    // Without a pidfd nobody could reap it safely later, so it ends now, reaped by pid while
    // that pid is certainly ours.
    if (saved != ESRCH) {
      kill(pid, SIGKILL);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    close_pipe();
    errno = saved;
    return SpawnResult::kSpawnFailed;
  }
  int caller_fd = fcntl(pidfd, F_DUPFD_CLOEXEC, 3);
  if (caller_fd < 0) {
    int saved = errno;
    PidfdKill(pidfd);
    siginfo_t info;
    while (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) < 0 && errno == EINTR) {
    }
    close(pidfd);
    close_pipe();
    errno = saved;
    return SpawnResult::kSpawnFailed;
  }
  ChildRegistry::Get().Add(static_cast<DWORD>(pid), pidfd, request.caller_reaps);

  if (request.capture_output) {
    // Our copy of the write end would keep the read from ever seeing end of file.
    close(pipe_fds[1]);
    out->output_fd = pipe_fds[0];
  }
  out->pid = static_cast<DWORD>(pid);
  out->pidfd = caller_fd;
  return SpawnResult::kOk;
}

ChildState ReapChildIfEnded(DWORD pid, int* exit_code) {
  return ChildRegistry::Get().ReapIfEnded(pid, exit_code, false);
}

int WaitForOwnChild(const SpawnedProcess& child) {
  int code = -1;
  for (;;) {
    if (WaitForAny(&child.pidfd, 1, -1) != 0) return -1;
    ChildState state = ChildRegistry::Get().ReapIfEnded(child.pid, &code, true);
    if (state != ChildState::kRunning) return state == ChildState::kReaped ? code : -1;
    // Readable a moment before it can be reaped.
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

uint32_t WaitForProcess(int pidfd, DWORD pid, int64_t timeout_ms, int* exit_code) {
  if (pidfd < 0) return 0xFFFFFFFF;
  const int64_t deadline = Deadline(timeout_ms);
  for (;;) {
    uint32_t r = WaitForAny(&pidfd, 1, LeftMs(deadline));
    if (r != 0) return r;
    // The pidfd turns readable as the child becomes a zombie; the reap follows at once.
    ChildState state = ReapChildIfEnded(pid, exit_code);
    if (state != ChildState::kRunning) return 0;
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

uint32_t WaitForAny(const int* fds, size_t count, int64_t timeout_ms) {
  constexpr size_t kMost = 8;
  if (count == 0 || count > kMost) return 0xFFFFFFFF;
  pollfd p[kMost];
  for (size_t i = 0; i < count; ++i) {
    if (fds[i] < 0) return 0xFFFFFFFF;
    p[i] = {fds[i], POLLIN, 0};
  }
  const int64_t deadline = Deadline(timeout_ms);
  for (;;) {
    int64_t left = LeftMs(deadline);
    int r = poll(p, count, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return 0xFFFFFFFF;
    if (r > 0) {
      for (size_t i = 0; i < count; ++i)
        if ((p[i].revents & POLLNVAL) != 0) return 0xFFFFFFFF;
      for (size_t i = 0; i < count; ++i)
        if (p[i].revents != 0) return static_cast<uint32_t>(i);
    }
    if (deadline >= 0 && NowMicros() >= deadline) return 258;
  }
}

RunResult RunShellCommand(std::string_view command, int64_t timeout_ms, int cancel_fd,
                          std::string* output, int* exit_code) {
  output->clear();
  *exit_code = -1;
  SpawnRequest request;
  request.capture_output = true;
  request.caller_reaps = true;
  request.own_group = true;
  SpawnedProcess child;
  SpawnResult spawned = SpawnShell(command, request, &child);
  if (spawned == SpawnResult::kPipeFailed) return RunResult::kPipeFailed;
  if (spawned != SpawnResult::kOk) return RunResult::kNotStarted;

  const int64_t deadline = Deadline(timeout_ms);
  const size_t count = cancel_fd >= 0 ? 2 : 1;
  int fds[2] = {child.output_fd, cancel_fd};
  bool timed_out = false, cancelled = false;
  char buffer[1024];
  // The output ends when every process of the group (and whoever they passed it to) closed it.
  for (;;) {
    uint32_t r = WaitForAny(fds, count, LeftMs(deadline));
    // A group that writes without end must not outlast the limit either.
    if (r == 258 || (deadline >= 0 && NowMicros() >= deadline)) {
      timed_out = true;
      break;
    }
    if (r == 1) cancelled = true;
    if (r != 0) break;
    int64_t n = ReadFd(child.output_fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    output->append(buffer, static_cast<size_t>(n));
  }
  close(child.output_fd);

  // A shell that closed its output may still run.
  if (!timed_out && !cancelled) {
    fds[0] = child.pidfd;
    uint32_t r = WaitForAny(fds, count, LeftMs(deadline));
    timed_out = r == 258;
    cancelled = r == 1;
  }
  // Not reaped yet, so the pid is still this shell's and names its group.
  if (timed_out || cancelled) kill(-static_cast<pid_t>(child.pid), SIGKILL);
  *exit_code = WaitForOwnChild(child);
  close(child.pidfd);
  if (cancelled) return RunResult::kCancelled;
  return timed_out ? RunResult::kTimedOut : RunResult::kDone;
}

int OpenProcess(DWORD pid) {
  if (pid == 0) {
    errno = EINVAL;
    return -1;
  }
  return PidfdOpen(static_cast<pid_t>(pid));  // pidfds are always close-on-exec
}

bool KillProcess(int pidfd) { return PidfdKill(pidfd) == 0; }

bool SnapshotProcesses(std::vector<ProcessEntry>* out) {
  out->clear();
  ChildRegistry::Get().ReapEnded();
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    unsigned long pid = strtoul(entry->d_name, &end, 10);
    if (pid == 0 || *end != '\0') continue;
    std::string dir = std::string("/proc/") + entry->d_name;
    // Processes may end while we look: one whose files are gone is left out.
    if (IsZombie(dir)) continue;
    std::string name = ProcessName(dir);
    if (name.empty()) continue;
    out->push_back({static_cast<DWORD>(pid), std::move(name)});
  }
  closedir(proc);
  return true;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

bool ProcessAlive(DWORD pid) {
  if (pid == 0 || pid > static_cast<DWORD>(INT32_MAX)) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  return !IsZombie("/proc/" + std::to_string(pid));
}

int GetLastError() { return errno; }

void SetLastError(int error) { errno = error; }

std::string ErrorText(int error) {
  if (error == 0) return {};
  char buffer[256];
  // The GNU strerror_r returns its text, which may not be in `buffer`.
  return strerror_r(error, buffer, sizeof(buffer));
}

int64_t ReadFd(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

void CloseFd(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace platform
