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

  void Release(DWORD pid) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = children_.find(pid);
    if (it != children_.end()) it->second.caller_reaps = false;
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

namespace {

// The child starts with default signal handling and nothing blocked, whatever the host's
// thread had: an ignored SIGPIPE or a blocked SIGTERM would otherwise be inherited.
void SetAttributes(const SpawnRequest& request, posix_spawnattr_t* attr) {
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(attr, &none);
  posix_spawnattr_setsigdefault(attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (request.own_group) {
    posix_spawnattr_setpgroup(attr, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(attr, flags);
}

// `output`: the write end of the output pipe, or -1.
void SetStreams(const SpawnRequest& request, int output, posix_spawn_file_actions_t* actions) {
  constexpr int kWrite = O_WRONLY | O_CREAT | O_TRUNC;
  if (output >= 0) {
    posix_spawn_file_actions_adddup2(actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions, output, STDERR_FILENO);
  } else if (!request.stdout_path.empty()) {
    posix_spawn_file_actions_addopen(actions, STDOUT_FILENO, request.stdout_path.c_str(), kWrite,
                                     0644);
  }
  if (output < 0 && !request.stderr_path.empty()) {
    if (request.stderr_path == request.stdout_path)
      posix_spawn_file_actions_adddup2(actions, STDOUT_FILENO, STDERR_FILENO);
    else
      posix_spawn_file_actions_addopen(actions, STDERR_FILENO, request.stderr_path.c_str(), kWrite,
                                       0644);
  }
  if (output >= 0 || !request.stdout_path.empty() || !request.stderr_path.empty())
    posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (!request.directory.empty())
    posix_spawn_file_actions_addchdir_np(actions, request.directory.c_str());
  // Nothing of ours or the host's reaches the child: a pipe end or socket held by a long-lived
  // child would keep our reads from ever ending.
  posix_spawn_file_actions_addclosefrom_np(actions, 3);
}

// Ours with `extra` added; an entry of `extra` replaces ours of the same name.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env = extra;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& x : extra)
      replaced = replaced || (x.size() > name.size() && x.compare(0, name.size(), name) == 0 &&
                              x[name.size()] == '=');
    if (!replaced) env.emplace_back(entry);
  }
  return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const std::string& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// A started child into the registry, with a pidfd for the caller. On failure it is ended and
// reaped, and errno tells why.
bool Register(pid_t pid, bool caller_reaps, SpawnedProcess* out) {
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
    errno = saved;
    return false;
  }
  int caller_fd = fcntl(pidfd, F_DUPFD_CLOEXEC, 3);
  if (caller_fd < 0) {
    int saved = errno;
    PidfdKill(pidfd);
    siginfo_t info;
    while (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED) < 0 && errno == EINTR) {
    }
    close(pidfd);
    errno = saved;
    return false;
  }
  ChildRegistry::Get().Add(static_cast<DWORD>(pid), pidfd, caller_reaps);
  out->pid = static_cast<DWORD>(pid);
  out->pidfd = caller_fd;
  return true;
}

}  // namespace

SpawnResult Spawn(const SpawnRequest& request, SpawnedProcess* out) {
  *out = SpawnedProcess{};
  if (request.argv.empty() || (request.program.empty() && request.argv[0].empty())) {
    errno = EINVAL;
    return SpawnResult::kSpawnFailed;
  }
  int pipe_fds[2] = {-1, -1};
  if (request.capture_output && pipe2(pipe_fds, O_CLOEXEC) != 0) return SpawnResult::kPipeFailed;

  SpawnSetup setup;
  SetAttributes(request, &setup.attr_);
  SetStreams(request, pipe_fds[1], &setup.actions_);
  std::vector<char*> argv = Pointers(request.argv);
  std::vector<std::string> env_strings;
  if (!request.extra_env.empty()) env_strings = ChildEnvironment(request.extra_env);
  std::vector<char*> env = Pointers(env_strings);
  char** envp = request.extra_env.empty() ? environ : env.data();

  pid_t pid = 0;
  int rc = request.program.empty()
               ? posix_spawnp(&pid, argv[0], &setup.actions_, &setup.attr_, argv.data(), envp)
               : posix_spawn(&pid, request.program.c_str(), &setup.actions_, &setup.attr_,
                             argv.data(), envp);
  // A failed exec has been reaped by posix_spawn itself.
  bool started = rc == 0 && Register(pid, request.caller_reaps, out);
  int saved = rc != 0 ? rc : errno;
  // Our copy of the write end would keep the read from ever seeing end of file.
  if (pipe_fds[1] >= 0) close(pipe_fds[1]);
  if (started) {
    out->output_fd = pipe_fds[0];
    return SpawnResult::kOk;
  }
  if (pipe_fds[0] >= 0) close(pipe_fds[0]);
  errno = saved;
  return SpawnResult::kSpawnFailed;
}

ChildState ReapChildIfEnded(DWORD pid, int* exit_code) {
  return ChildRegistry::Get().ReapIfEnded(pid, exit_code, false);
}

ChildState ReapOwnChildIfEnded(DWORD pid, int* exit_code) {
  return ChildRegistry::Get().ReapIfEnded(pid, exit_code, true);
}

void ReleaseOwnChild(DWORD pid) { ChildRegistry::Get().Release(pid); }

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
  const int64_t deadline = DeadlineAfterMs(timeout_ms);
  for (;;) {
    uint32_t r = WaitForAny(&pidfd, 1, MsUntil(deadline));
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
  const int64_t deadline = DeadlineAfterMs(timeout_ms);
  for (;;) {
    int64_t left = MsUntil(deadline);
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

int64_t ReadOutput(int output_fd, void* buffer, size_t size, int64_t timeout_ms, int cancel_fd,
                   uint32_t* woke) {
  const int fds[2] = {output_fd, cancel_fd};
  *woke = WaitForAny(fds, cancel_fd >= 0 ? 2 : 1, timeout_ms);
  if (*woke == 0) return ReadFd(output_fd, buffer, size);
  if (*woke == 0xFFFFFFFF) *woke = 0;
  return *woke == 0 ? -1 : 0;
}

bool KillGroup(DWORD pid, int /*group_fd*/) {
  return pid != 0 && kill(-static_cast<pid_t>(pid), SIGKILL) == 0;
}

void CloseGroup(int /*group_fd*/) {}

bool SignalProcess(int pidfd, int signal) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0)) == 0;
}

int OpenProcess(DWORD pid) {
  if (pid == 0) {
    errno = EINVAL;
    return -1;
  }
  return PidfdOpen(static_cast<pid_t>(pid));  // pidfds are always close-on-exec
}

bool KillProcess(int pidfd) { return SignalProcess(pidfd, SIGKILL); }

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
