// Processes: command lines split by Windows' rules, spawning without a shell, the registry that
// reaps every child we start exactly once, pidfds, the /proc snapshot and error texts. On
// Windows the descriptors are process and pipe handles, the snapshot is tool help's, and errors
// are Win32 last errors.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"
#include "platform/types.h"

namespace platform {

// Splits a command line the way CommandLineToArgvW does: blanks and tabs separate, double quotes
// group, 2n backslashes before a quote give n and the quote toggles grouping, 2n+1 give n and a
// literal quote. The first argument (the program) ends at the next quote or blank, without
// backslash rules. An empty or blank line gives no arguments.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

// Quotes one argument so that SplitCommandLine gives it back unchanged. Not for the program:
// the first word has rules of its own.
std::string QuoteCommandLineArgument(std::string_view argument);

// Quotes the program (the first word) so that SplitCommandLine gives it back unchanged. One
// that holds a quote and also a blank, or starts with a quote, cannot be written at all.
std::string QuoteCommandLineProgram(std::string_view program);

// Quotes text as one word for the shell of SpawnShell: for /bin/sh '...' with every ' written
// as '\''; for cmd.exe double quotes, with ^ before what cmd would act on between them.
std::string ShellQuote(std::string_view text);

struct SpawnRequest {
  // The file to run. Empty: argv[0] is looked up in PATH.
  std::string program;
  std::vector<std::string> argv;
  // Working directory of the child; empty keeps ours.
  std::string directory;
  // stdin from /dev/null; stdout and stderr into one pipe whose read end the caller gets.
  bool capture_output = false;
  // Without capture: stdin from the null device and stdout, stderr into these files (created
  // or truncated); the same path for both shares one file. Empty keeps ours.
  std::string stdout_path;
  std::string stderr_path;
  // NAME=value entries added to our environment (an entry given here wins).
  std::vector<std::string> extra_env;
  // The caller (WaitForOwnChild, or the Process it gets) is the only one to reap the child, so
  // its exit code cannot go to someone else.
  bool caller_reaps = false;
  // Windows: how the child's first window is shown (SW_HIDE is 0); -1 leaves it to the child.
  int show_window = -1;
  // The child and everything it starts form a group that KillGroup ends as one: on Linux a
  // process group it leads, on Windows a job object it enters before it runs. A program that
  // leaves the group on purpose (a server it starts with setsid, or breaking away from the
  // job) is spared.
  bool own_group = false;
};

struct SpawnedProcess {
  DWORD pid = 0;
  int pidfd = -1;      // the caller's to close
  int output_fd = -1;  // read end of the output pipe when captured; the caller's to close
  int group_fd = -1;   // Windows: the job of an own_group child; close with CloseGroup
};

enum class SpawnResult { kOk, kPipeFailed, kSpawnFailed };

// Starts a child with posix_spawn. Every descriptor from 3 up is closed in the child, and every
// descriptor made here is close-on-exec in the parent. The child enters the child registry.
// On failure errno tells why and nothing stays open.
SpawnResult Spawn(const SpawnRequest& request, SpawnedProcess* out);

// Runs `command` through the system's shell: `/bin/sh -c command` on Linux, cmd.exe /c on
// Windows, which reads its command line itself (so the text is passed on as it stands). The
// request's directory, capture and reaping settings apply; its program and argv are not used.
SpawnResult SpawnShell(std::string_view command, const SpawnRequest& request, SpawnedProcess* out);

// How the log names a command run through SpawnShell.
#ifdef _WIN32
inline constexpr const char* kShellPrefix = "cmd.exe /c ";
#else
inline constexpr const char* kShellPrefix = "/bin/sh -c ";
#endif

// The child registry. Only children started by Spawn are in it, and each is reaped exactly once,
// by whichever caller first sees it end; a child that someone else reaped (ECHILD) counts as
// reaped. The plug-in never waits for "any child": the host owns that. Any thread.
enum class ChildState { kRunning, kReaped, kNotOurs };
// kReaped exactly once per child, with its exit code (128 + signal for a killed child, -1 when
// unknown); kNotOurs for any other pid, a child already reaped, or one its launcher reaps.
ChildState ReapChildIfEnded(DWORD pid, int* exit_code);

// For a child spawned with caller_reaps, by its launcher: as ReapChildIfEnded.
ChildState ReapOwnChildIfEnded(DWORD pid, int* exit_code);

// Its launcher gives up a caller_reaps child: the registry reaps it once it ends.
void ReleaseOwnChild(DWORD pid);

// For a child spawned with caller_reaps: waits without limit for it to end, reaps it and returns
// its exit code (as above).
int WaitForOwnChild(const SpawnedProcess& child);

// Waits up to timeout_ms (negative: no limit) for the process behind `pidfd` to end, and reaps it
// when it is our child. Returns 0 when it ended, 258 on time-out, 0xFFFFFFFF when the descriptor is
// unusable. *exit_code (optional) is set only when this call reaped it.
uint32_t WaitForProcess(int pidfd, DWORD pid, int64_t timeout_ms, int* exit_code);

// Waits until one of `count` (1 to 8) descriptors turns readable: an event that is set, a
// process that ended, a pipe with data or at its end (Windows: a handle that is signalled). The
// lowest index wins when several are. timeout_ms < 0 waits without limit. Returns that index,
// 258 on time-out, 0xFFFFFFFF for a descriptor that is unusable.
uint32_t WaitForAny(const int* fds, size_t count, int64_t timeout_ms);

// Reads captured output (Spawn's output_fd) for at most timeout_ms (negative: no limit) or until
// `cancel_fd` (an event's descriptor; -1 for none) is set. Returns the bytes read, 0 at the end
// of the output, -1 on error, with *woke 0; or with *woke 258 (time-out) or 1 (cancelled), and
// whatever was read before.
int64_t ReadOutput(int output_fd, void* buffer, size_t size, int64_t timeout_ms, int cancel_fd,
                   uint32_t* woke);

// Kills an own_group child's whole group; before the child is reaped (its pid names the group).
bool KillGroup(DWORD pid, int group_fd);
// Lets go of the group: what is left running in it stays so.
void CloseGroup(int group_fd);
// Sends `signal` to the process (Windows: any signal ends it).
bool SignalProcess(int pidfd, int signal);

class Process;

// Set from any thread; a wait that takes it ends once it is set. Stays set until Reset.
class CancelToken {
 public:
  CancelToken() = default;
  CancelToken(const CancelToken&) = delete;
  CancelToken& operator=(const CancelToken&) = delete;

  bool valid() const { return event_.valid(); }
  bool Cancel() { return event_.Set(); }
  bool Reset() { return event_.Reset(); }
  bool IsCancelled() { return event_.Wait(0) == kWaitObject0; }
  // kWaitObject0 once set, kWaitTimeout after timeout_ms (negative: no limit).
  uint32_t Wait(int64_t timeout_ms) { return event_.Wait(timeout_ms); }

 private:
  friend class WaitTarget;
  friend class Process;
  Event event_{true, false};
};

// What WaitForAny can wait on: a token that is set, or a process that ends.
class WaitTarget {
 public:
  WaitTarget(const CancelToken& token) : fd_(token.event_.fd()) {}  // NOLINT: implicit
  WaitTarget(const Process& process);                               // NOLINT: implicit

 private:
  friend uint32_t WaitForAny(std::initializer_list<WaitTarget> targets, int64_t timeout_ms);
  int fd_;
};

// The index of the first of 1 to 8 targets that is ready (the lowest when several are),
// kWaitTimeout after timeout_ms (negative: no limit), kWaitFailed when one is unusable. A
// process that ended stays ready; it is reaped by its own Wait.
uint32_t WaitForAny(std::initializer_list<WaitTarget> targets, int64_t timeout_ms);

// A process: one we started (its exit code is ours to read, and we reap it), or one opened by
// id. Move-only; closing or destroying it lets go of what it holds without ending the process.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts `request` as Spawn does; *out is left empty on failure, with the reason in
  // GetLastError. With caller_reaps only this handle reaps the child and reads its exit code;
  // without, whichever wait sees it end first does.
  static SpawnResult Start(const SpawnRequest& request, Process* out);
  // Runs `command` through the system's shell, as SpawnShell does.
  static SpawnResult StartShell(std::string_view command, const SpawnRequest& request,
                                Process* out);
  // The running process `pid`, as it is now: a later process with its id is never reached.
  // Invalid when there is none (or pid is 0).
  static Process Open(DWORD pid);

  bool valid() const { return fd_ >= 0; }
  DWORD pid() const { return pid_; }

  // kWaitObject0 once it ended (our child is reaped then), kWaitTimeout after timeout_ms
  // (negative: no limit), kWaitObject0 + 1 when `cancel` was set first, kWaitFailed without a
  // process.
  uint32_t Wait(int64_t timeout_ms, CancelToken* cancel = nullptr);
  // After Wait saw it end: its exit code (128 + signal when killed); -1 when unknown, or when
  // another wait reaped it.
  int exit_code() const { return code_.value_or(-1); }

  // SIGKILL (Windows: TerminateProcess). False once it has been reaped.
  bool Kill();
  // Any signal (Windows: any ends it).
  bool Signal(int signal);
  // Started with own_group: ends it and everything left in its group.
  bool KillGroup();

  // Captured output, as platform::ReadOutput.
  int64_t ReadOutput(void* buffer, size_t size, int64_t timeout_ms, CancelToken* cancel,
                     uint32_t* woke);
  void CloseOutput();
  void Close();

 private:
  friend class WaitTarget;
  static SpawnResult Adopt(SpawnResult result, const SpawnRequest& request,
                           const SpawnedProcess& child, Process* out);
  static int FdOf(CancelToken* cancel) { return cancel != nullptr ? cancel->event_.fd() : -1; }

  DWORD pid_ = 0;
  int fd_ = -1;
  int output_fd_ = -1;
  int group_fd_ = -1;
  bool ours_ = false;   // started by us with caller_reaps
  bool group_ = false;  // started by us with own_group
  std::optional<int> code_;
};

enum class RunResult { kDone, kPipeFailed, kNotStarted, kTimedOut, kCancelled };

// Runs `command` through the system's shell (as SpawnShell does) as a group of its own: on Linux
// the leader of a new process group, on Windows in a job object. stdin from the null device,
// stdout and stderr both into `output`, no descriptor of ours inherited. Reads until every holder
// of the output has closed it and the shell has ended, for at most timeout_ms in all. At the
// limit (kTimedOut), or once `cancel` (optional) is set (kCancelled), the whole group is
// killed: the shell alone would leave its children holding the pipe. kPipeFailed: the output
// pipe could not be made. The shell is reaped on every path. *exit_code: its exit code,
// 128 + signal when killed, -1 when unknown.
RunResult RunShellCommand(std::string_view command, int64_t timeout_ms, CancelToken* cancel,
                          std::string* output, int* exit_code);

// pidfd_open: a close-on-exec descriptor for the process, or -1 with errno.
int OpenProcess(DWORD pid);
// SIGKILL through the pidfd.
bool KillProcess(int pidfd);
// A killed process is gone within this bound, or the caller gives up waiting.
inline constexpr int64_t kKillWaitMs = 2000;

struct ProcessEntry {
  DWORD pid = 0;
  // Base name of /proc/PID/exe, else /proc/PID/comm; on Windows the executable's file name
  // ("scrcpy.exe").
  std::string name;
};
// Live processes (zombies left out), in /proc order. False when /proc cannot be read.
bool SnapshotProcesses(std::vector<ProcessEntry>* out);

DWORD GetCurrentProcessId();
// Whether a process with this id runs now (a zombie does not). Pid 0 never does.
bool ProcessAlive(DWORD pid);

// errno of the calling thread, and its text ("" for 0).
int GetLastError();
void SetLastError(int error);
std::string ErrorText(int error);

// Descriptor helpers for code outside this layer. ReadFd retries EINTR; 0 means end of file.
int64_t ReadFd(int fd, void* buffer, size_t size);
void CloseFd(int fd);

}  // namespace platform
