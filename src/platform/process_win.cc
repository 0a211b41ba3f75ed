// Processes on Windows: CreateProcessW from an argument vector, with an explicit list of the
// handles the child inherits, a registry of our children, Toolhelp snapshots.
#include "platform/win_util.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/process.h"

namespace platform {

namespace {

using win::InheritList;
using win::UniqueHandle;

// A NUL would cut the UTF-16 text short, and with it the command line.
bool HasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

int ExitCodeOf(HANDLE process) {
  ::DWORD code = 0;
  if (!GetExitCodeProcess(process, &code) || code == STILL_ACTIVE) return -1;
  return static_cast<int>(code);
}

// WaitForSingleObject takes at most 0xFFFFFFFE ms; longer limits are waited for in parts.
::DWORD WaitOne(HANDLE handle, int64_t timeout_ms) {
  constexpr int64_t kLongestWait = INFINITE - 1;
  if (timeout_ms < 0) return WaitForSingleObject(handle, INFINITE);
  for (;;) {
    const ULONGLONG start = GetTickCount64();
    ::DWORD r =
        WaitForSingleObject(handle, static_cast<::DWORD>(std::min(timeout_ms, kLongestWait)));
    if (r != WAIT_TIMEOUT || timeout_ms <= kLongestWait) return r;
    timeout_ms -= static_cast<int64_t>(GetTickCount64() - start);
  }
}

// Children we started and have not reaped, by pid, each with a process handle of the registry's
// own. Windows has no zombies, but the handle keeps the pid from being reused while the child is
// listed, so a pid here is always that child's.
class ChildRegistry {
 public:
  static ChildRegistry& Get() {
    // Never destroyed: children may be reaped from threads that outlive static destruction.
    static ChildRegistry* registry = new ChildRegistry;
    return *registry;
  }

  void Add(DWORD pid, UniqueHandle process, bool caller_reaps) {
    std::lock_guard<std::mutex> lock(mu_);
    ReapEndedLocked();
    children_.insert_or_assign(pid, Child{std::move(process), caller_reaps});
  }

  // Children nobody watches leave the registry at the next spawn or snapshot at the latest, so
  // that their handles do not pile up.
  void ReapEnded() {
    std::lock_guard<std::mutex> lock(mu_);
    ReapEndedLocked();
  }

  ChildState ReapIfEnded(DWORD pid, int* exit_code, bool as_launcher) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = children_.find(pid);
    if (it == children_.end() || (it->second.caller_reaps && !as_launcher))
      return ChildState::kNotOurs;
    ChildState state = TryReapLocked(it->second.process.get(), exit_code);
    if (state == ChildState::kReaped) children_.erase(it);
    return state;
  }

 private:
  struct Child {
    UniqueHandle process;
    bool caller_reaps;
  };

  void ReapEndedLocked() {
    for (auto it = children_.begin(); it != children_.end();) {
      if (it->second.caller_reaps ||
          TryReapLocked(it->second.process.get(), nullptr) == ChildState::kRunning) {
        ++it;
      } else {
        it = children_.erase(it);
      }
    }
  }

  static ChildState TryReapLocked(HANDLE process, int* exit_code) {
    ::DWORD r = WaitForSingleObject(process, 0);
    if (r == WAIT_TIMEOUT) return ChildState::kRunning;
    // A handle that cannot be waited on any more cannot tell either: it counts as reaped.
    if (exit_code != nullptr) *exit_code = r == WAIT_OBJECT_0 ? ExitCodeOf(process) : -1;
    return ChildState::kReaped;
  }

  std::mutex mu_;
  std::unordered_map<DWORD, Child> children_;
};

// The handles of a child's standard streams, each inheritable. With capture_output: NUL and the
// write end of the output pipe. Otherwise copies of our own streams, so that the child shares
// them as on Linux; a stream we do not have stays none.
struct ChildStreams {
  UniqueHandle input;
  UniqueHandle output;
  UniqueHandle error;  // none when it is `output`
  UniqueHandle read_end;
};

SpawnResult MakeCapturedStreams(ChildStreams* streams) {
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return SpawnResult::kPipeFailed;
  streams->read_end.reset(read_end);
  streams->output.reset(write_end);
  // Only the write end is inheritable, and only the child gets it (the attribute list); the
  // read end stays ours alone, like a close-on-exec descriptor.
  if (!SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
    return SpawnResult::kPipeFailed;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  streams->input.reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr));
  if (!streams->input) return SpawnResult::kSpawnFailed;
  return SpawnResult::kOk;
}

UniqueHandle InheritableCopy(::DWORD which) {
  HANDLE ours = GetStdHandle(which);
  HANDLE copy = nullptr;
  if (ours == nullptr || ours == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), ours, GetCurrentProcess(), &copy, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return UniqueHandle();
  }
  return UniqueHandle(copy);
}

// Starts `application` (empty: the first word of `command_line`, searched for by CreateProcessW)
// with `command_line` as it is. Shared by Spawn and SpawnShell.
SpawnResult SpawnCommandLine(const SpawnRequest& request, const std::wstring& application,
                             std::wstring command_line, SpawnedProcess* out) {
  ChildStreams streams;
  if (request.capture_output) {
    SpawnResult made = MakeCapturedStreams(&streams);
    if (made != SpawnResult::kOk) return made;
  } else {
    streams.input = InheritableCopy(STD_INPUT_HANDLE);
    streams.output = InheritableCopy(STD_OUTPUT_HANDLE);
    streams.error = InheritableCopy(STD_ERROR_HANDLE);
  }
  HANDLE error = request.capture_output ? streams.output.get() : streams.error.get();

  // Nothing of ours or the host's reaches the child but these: a pipe end held by a long-lived
  // child would keep our reads from ever ending.
  HANDLE inherited[3];
  size_t count = 0;
  for (const UniqueHandle* h : {&streams.input, &streams.output, &streams.error})
    if (*h) inherited[count++] = h->get();

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(STARTUPINFOW);
  ::DWORD flags = 0;
  InheritList list;
  if (count > 0) {
    if (!list.Init(inherited, count)) return SpawnResult::kSpawnFailed;
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = list.get();
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = streams.input.get();
    startup.StartupInfo.hStdOutput = streams.output.get();
    startup.StartupInfo.hStdError = error;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  // A captured command is a console program run for its output: no console window for it.
  if (request.capture_output) flags |= CREATE_NO_WINDOW;
  // How the child's first window (a console program's console) is shown.
  if (request.show_window >= 0) {
    startup.StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = static_cast<WORD>(request.show_window);
  }

  std::wstring directory = win::Wide(request.directory);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.empty() ? nullptr : application.c_str(), command_line.data(),
                      nullptr, nullptr, count > 0, flags, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo,
                      &info)) {
    return SpawnResult::kSpawnFailed;
  }
  UniqueHandle process(info.hProcess);
  CloseHandle(info.hThread);
  // Our copy of the write end would keep the read from ever seeing end of file.
  streams.input.reset();
  streams.output.reset();
  streams.error.reset();

  HANDLE caller = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), process.get(), GetCurrentProcess(), &caller, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    // Nobody could wait for it or reap it: it ends now.
    ::DWORD saved = ::GetLastError();
    TerminateProcess(process.get(), 1);
    ::SetLastError(saved);
    return SpawnResult::kSpawnFailed;
  }
  ChildRegistry::Get().Add(info.dwProcessId, std::move(process), request.caller_reaps);
  out->pid = info.dwProcessId;
  out->pidfd = win::FromHandle(caller);
  if (request.capture_output) out->output_fd = win::FromHandle(streams.read_end.release());
  return SpawnResult::kOk;
}

int64_t NowMs() { return static_cast<int64_t>(GetTickCount64()); }

// Milliseconds left until `deadline` for a wait: INFINITE without a deadline, 0 once it has
// passed.
::DWORD LeftMs(int64_t deadline) {
  if (deadline < 0) return INFINITE;
  int64_t left = deadline - NowMs();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<::DWORD>(left);
}

bool Expired(int64_t deadline) { return deadline >= 0 && NowMs() >= deadline; }

// WaitForAny on `handle` and `cancel` (if any) until `deadline`: WAIT_OBJECT_0 (+ 1 for the
// cancel), WAIT_TIMEOUT or WAIT_FAILED.
::DWORD WaitUntil(HANDLE handle, int64_t deadline, HANDLE cancel = nullptr) {
  const int fds[2] = {win::FromHandle(handle), win::FromHandle(cancel)};
  const int64_t left = deadline < 0 ? -1 : std::max<int64_t>(0, deadline - NowMs());
  uint32_t r = WaitForAny(fds, cancel != nullptr ? 2 : 1, left);
  if (r == 258) return WAIT_TIMEOUT;
  if (r == 0xFFFFFFFF) return WAIT_FAILED;
  return WAIT_OBJECT_0 + r;
}

// An output pipe whose reads can wait with a limit, which CreatePipe's cannot: a named pipe of
// one instance, overlapped on our end. Our end is not inheritable; the shell's is, and reaches
// it only through the attribute list.
bool CreateOutputPipe(UniqueHandle* read_end, UniqueHandle* write_end) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::wstring name = L"\\\\.\\pipe\\pellion-adb-" + std::to_wstring(GetCurrentProcessId()) +
                        L"-" + std::to_wstring(GetTickCount64()) + L"-" +
                        std::to_wstring(counter.fetch_add(1));
    // First instance only: a pipe of that name made by someone else is never joined.
    read_end->reset(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 4096, 0,
        nullptr));
    if (!*read_end) {
      if (::GetLastError() == ERROR_ACCESS_DENIED || ::GetLastError() == ERROR_PIPE_BUSY) continue;
      return false;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    // Opening the one instance connects it: nobody else can join it afterwards.
    write_end->reset(
        CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
    if (*write_end) return true;
    read_end->reset();
    return false;
  }
  return false;
}

std::wstring SystemDirectory() {
  wchar_t path[MAX_PATH];
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

}  // namespace

// One word for cmd.exe that reaches the program as it is. cmd passes the line on to the program
// but first acts on & | < > ^ outside quotes and expands %NAME% everywhere; every quote toggles
// its quoting, backslash or not. (Parentheses matter only inside a block, and Wine's cmd keeps
// a ^ before them; ! is literal, as the shell runs with /v:off.) So the text is quoted by the
// argument rules, and:
// - a quote goes as \", which the argument keeps and cmd takes as a quote: from there to the
//   next one cmd sees the text unquoted, and its characters get a ^;
// - a % goes as "%", which leaves both quotings as they were and puts a quote at each end of
//   any name between two %, which no variable has;
// - the closing quote, where cmd's quoting is off, goes as ^" so that cmd keeps it off for the
//   rest of the line.
std::string ShellQuote(std::string_view text) {
  constexpr std::string_view kCmdCharacters = "&|<>^";
  std::string out = "\"";
  bool cmd_quoted = true;
  size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
      out += '"';
      cmd_quoted = !cmd_quoted;
    } else if (c == '%') {
      // Doubled: they stand before a closing quote.
      out.append(backslashes * 2, '\\');
      out += "\"%\"";
    } else {
      out.append(backslashes, '\\');
      if (!cmd_quoted && kCmdCharacters.find(c) != std::string_view::npos) out += '^';
      out += c;
    }
    backslashes = 0;
  }
  out.append(backslashes * 2, '\\');
  if (!cmd_quoted) out += '^';
  out += '"';
  return out;
}

SpawnResult Spawn(const SpawnRequest& request, SpawnedProcess* out) {
  *out = SpawnedProcess{};
  bool bad = request.argv.empty() || (request.program.empty() && request.argv[0].empty()) ||
             HasNul(request.program) || HasNul(request.directory);
  for (const std::string& arg : request.argv) bad = bad || HasNul(arg);
  // The first word has no escapes: one that starts with a quote, or holds a quote and a blank,
  // would reach the child as other words.
  if (!bad) {
    const std::string& first = request.argv[0];
    bad = (!first.empty() && first[0] == '"') ||
          (first.find('"') != std::string::npos && first.find_first_of(" \t") != std::string::npos);
  }
  if (bad) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return SpawnResult::kSpawnFailed;
  }
  std::string line = QuoteCommandLineProgram(request.argv[0]);
  for (size_t i = 1; i < request.argv.size(); ++i)
    line += " " + QuoteCommandLineArgument(request.argv[i]);
  return SpawnCommandLine(request, win::Wide(request.program), win::Wide(line), out);
}

// Runs `command` through the system's cmd.exe (not one found in the current folder or PATH).
// /d skips the AutoRun commands of the registry, /v:off keeps ! literal, and /s /c takes off
// the outer quotes and nothing else, so the command reaches cmd as written. The request's
// program and argv are not used.
SpawnResult SpawnShell(std::string_view command, const SpawnRequest& request, SpawnedProcess* out) {
  *out = SpawnedProcess{};
  std::wstring system = SystemDirectory();
  if (system.empty()) return SpawnResult::kSpawnFailed;
  // cmd.exe drops carriage returns and ends the command at a line feed: what follows one would
  // be lost, or run as a command of its own.
  if (HasNul(command) || HasNul(request.directory) ||
      command.find_first_of("\r\n") != std::string_view::npos) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return SpawnResult::kSpawnFailed;
  }
  std::wstring shell = system + L"\\cmd.exe";
  std::wstring line = L"\"" + shell + L"\" /d /v:off /s /c \"" + win::Wide(command) + L"\"";
  return SpawnCommandLine(request, shell, std::move(line), out);
}

ChildState ReapChildIfEnded(DWORD pid, int* exit_code) {
  return ChildRegistry::Get().ReapIfEnded(pid, exit_code, false);
}

int WaitForOwnChild(const SpawnedProcess& child) {
  HANDLE process = win::ToHandle(child.pidfd);
  if (process == nullptr || WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0) return -1;
  int code = -1;
  // Its handle and the registry's are the same process: ended for one, ended for the other.
  ChildState state = ChildRegistry::Get().ReapIfEnded(child.pid, &code, true);
  return state == ChildState::kReaped ? code : -1;
}

uint32_t WaitForProcess(int pidfd, DWORD pid, int64_t timeout_ms, int* exit_code) {
  // Checked here: the -1 of "none" is also the pseudo handle of our own process.
  HANDLE process = win::ToHandle(pidfd);
  if (process == nullptr) return 0xFFFFFFFF;
  switch (WaitOne(process, timeout_ms)) {
    case WAIT_OBJECT_0:
      ReapChildIfEnded(pid, exit_code);
      return 0;
    case WAIT_TIMEOUT:
      return 258;
    default:
      return 0xFFFFFFFF;
  }
}

int OpenProcess(DWORD pid) {
  if (pid == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  HANDLE process = ::OpenProcess(
      PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
  // A process we may not end can still be waited for, as a pidfd of it could be.
  if (process == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED)
    process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
  return win::FromHandle(process);
}

bool KillProcess(int pidfd) {
  // Never TerminateProcess(-1): that is our own process.
  HANDLE process = win::ToHandle(pidfd);
  if (process == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return TerminateProcess(process, 1) != 0;
}

bool SnapshotProcesses(std::vector<ProcessEntry>* out) {
  out->clear();
  ChildRegistry::Get().ReapEnded();
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  if (!Process32FirstW(snapshot.get(), &entry)) return ::GetLastError() == ERROR_NO_MORE_FILES;
  do {
    // Pid 0 is the idle process, which /proc does not list either.
    if (entry.th32ProcessID == 0) continue;
    std::string name = win::Utf8(entry.szExeFile);
    name.erase(0, name.find_last_of("\\/") + 1);
    if (name.empty()) continue;
    out->push_back({entry.th32ProcessID, std::move(name)});
  } while (Process32NextW(snapshot.get(), &entry));
  return true;
}

DWORD GetCurrentProcessId() { return ::GetCurrentProcessId(); }

bool ProcessAlive(DWORD pid) {
  if (pid == 0) return false;
  HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<::DWORD>(pid));
  // A process of another user may refuse the handle: it exists all the same.
  if (h == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = ::WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  ::CloseHandle(h);
  return running;
}

int GetLastError() { return static_cast<int>(::GetLastError()); }

void SetLastError(int error) { ::SetLastError(static_cast<::DWORD>(error)); }

std::string ErrorText(int error) {
  if (error == 0) return {};
  wchar_t* text = nullptr;
  ::DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<::DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n == 0 || text == nullptr) return "Unknown error " + std::to_string(error);
  std::string out = win::Utf8(std::wstring_view(text, n));
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  return out;
}

int64_t ReadFd(int fd, void* buffer, size_t size) {
  HANDLE handle = win::ToHandle(fd);
  if (handle == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  const auto wanted = static_cast<::DWORD>(std::min<size_t>(size, 0x7FFFFFFF));
  for (;;) {
    ::DWORD n = 0;
    if (!ReadFile(handle, buffer, wanted, &n, nullptr)) {
      ::DWORD error = ::GetLastError();
      // Every writer has closed the pipe: end of file.
      if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
      if (error == ERROR_MORE_DATA) return n;
      return -1;
    }
    // A writer's empty write reads as 0 bytes from a pipe without being its end.
    if (n == 0 && wanted > 0 && GetFileType(handle) == FILE_TYPE_PIPE) continue;
    return n;
  }
}

void CloseFd(int fd) {
  HANDLE handle = win::ToHandle(fd);
  if (handle != nullptr) CloseHandle(handle);
}

RunResult RunShellCommand(std::string_view command, int64_t timeout_ms, int cancel_fd,
                          std::string* output, int* exit_code) {
  HANDLE cancel = win::ToHandle(cancel_fd);
  output->clear();
  *exit_code = -1;
  if (HasNul(command)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return RunResult::kNotStarted;
  }
  const std::wstring system = SystemDirectory();
  if (system.empty()) return RunResult::kNotStarted;
  // The system's cmd.exe, as SpawnShell runs it. Its own CreateProcessW: the shell starts
  // suspended, to be in the job object before it can start anything.
  const std::wstring shell = system + L"\\cmd.exe";
  std::wstring line = L"\"" + shell + L"\" /d /v:off /s /c \"" + win::Wide(command) + L"\"";

  UniqueHandle read_end, write_end;
  if (!CreateOutputPipe(&read_end, &write_end)) return RunResult::kPipeFailed;
  UniqueHandle read_done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!read_done) return RunResult::kNotStarted;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  UniqueHandle null_input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, OPEN_EXISTING, 0, nullptr));
  if (!null_input) return RunResult::kNotStarted;

  // The job is the process group: whatever the shell starts is in it, and it is killed as one.
  // Closing the job kills it too, so every early return below leaves nothing running. A program
  // that asks to leave the job may, as one may leave a process group with setsid; refusing it
  // would make its own CreateProcess fail.
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) return RunResult::kNotStarted;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits))) {
    return RunResult::kNotStarted;
  }

  HANDLE inherited[2] = {null_input.get(), write_end.get()};
  InheritList list;
  if (!list.Init(inherited, 2)) return RunResult::kNotStarted;
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null_input.get();
  startup.StartupInfo.hStdOutput = write_end.get();
  startup.StartupInfo.hStdError = write_end.get();
  startup.lpAttributeList = list.get();
  PROCESS_INFORMATION info{};
  // Suspended until it is in the job, so that nothing it starts can be outside.
  if (!CreateProcessW(shell.c_str(), line.data(), nullptr, nullptr, TRUE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                      nullptr, &startup.StartupInfo, &info)) {
    return RunResult::kNotStarted;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  if (!AssignProcessToJobObject(job.get(), process.get())) {
    ::DWORD saved = ::GetLastError();
    TerminateProcess(process.get(), 1);
    ::SetLastError(saved);
    return RunResult::kNotStarted;
  }
  if (ResumeThread(thread.get()) == static_cast<::DWORD>(-1)) {
    ::DWORD saved = ::GetLastError();
    TerminateJobObject(job.get(), 1);
    ::SetLastError(saved);
    return RunResult::kNotStarted;
  }
  thread.reset();
  // Our copy of the write end would keep the read from ever seeing end of file.
  write_end.reset();
  null_input.reset();

  const int64_t deadline = timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
  bool timed_out = false, cancelled = false;
  char buffer[1024];
  // The output ends when every process of the job (and whoever they passed it to) closed it.
  for (;;) {
    if (Expired(deadline)) {
      timed_out = true;
      break;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = read_done.get();
    ::DWORD n = 0;
    BOOL ok = ReadFile(read_end.get(), buffer, sizeof(buffer), nullptr, &overlapped);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
      ::DWORD waited = WaitUntil(read_done.get(), deadline, cancel);
      if (waited != WAIT_OBJECT_0) {
        cancelled = waited == WAIT_OBJECT_0 + 1;
        timed_out = !cancelled && Expired(deadline);
        CancelIoEx(read_end.get(), &overlapped);
        // The read owns `buffer` and `overlapped` until it has finished; what came before the
        // cancel is kept.
        if (GetOverlappedResult(read_end.get(), &overlapped, &n, TRUE)) output->append(buffer, n);
        break;
      }
      ok = TRUE;
    }
    // ERROR_BROKEN_PIPE: every writer has closed it. Any other error ends the read as well.
    if (!ok || !GetOverlappedResult(read_end.get(), &overlapped, &n, FALSE)) break;
    output->append(buffer, n);
  }
  read_end.reset();

  // A shell that closed its output may still run.
  if (!timed_out && !cancelled) {
    ::DWORD waited = WaitUntil(process.get(), deadline, cancel);
    if (waited == WAIT_TIMEOUT) timed_out = true;
    if (waited == WAIT_OBJECT_0 + 1) cancelled = true;
  }
  if (timed_out || cancelled) {
    TerminateJobObject(job.get(), 1);
    WaitForSingleObject(process.get(), static_cast<::DWORD>(platform::kKillWaitMs));
  } else {
    // What the command left running on purpose (a server it started) stays, as it would on
    // Linux, where only a time-out kills the group.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION keep{};
    keep.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &keep, sizeof(keep));
  }
  ::DWORD code = 0;
  if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process.get(), &code)) {
    *exit_code = static_cast<int>(code);
  }
  if (cancelled) return RunResult::kCancelled;
  return timed_out ? RunResult::kTimedOut : RunResult::kDone;
}

uint32_t WaitForAny(const int* fds, size_t count, int64_t timeout_ms) {
  constexpr size_t kMost = 8;
  if (count == 0 || count > kMost) return 0xFFFFFFFF;
  HANDLE handles[kMost];
  uint32_t index[kMost];
  size_t distinct = 0;
  for (size_t i = 0; i < count; ++i) {
    // Checked here: the -1 of "none" is also the pseudo handle of our own process.
    HANDLE h = win::ToHandle(fds[i]);
    if (h == nullptr) return 0xFFFFFFFF;
    // WaitForMultipleObjects takes no handle twice; a repeat can only lose to its first place.
    if (std::find(handles, handles + distinct, h) != handles + distinct) continue;
    index[distinct] = static_cast<uint32_t>(i);
    handles[distinct++] = h;
  }
  const int64_t deadline = timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
  for (;;) {
    // With several signalled it reports the lowest index.
    ::DWORD r =
        WaitForMultipleObjects(static_cast<::DWORD>(distinct), handles, FALSE, LeftMs(deadline));
    if (r < WAIT_OBJECT_0 + distinct) return index[r - WAIT_OBJECT_0];
    if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + distinct)
      return index[r - WAIT_ABANDONED_0];
    if (r != WAIT_TIMEOUT) return 0xFFFFFFFF;
    if (Expired(deadline)) return 258;
  }
}

}  // namespace platform
