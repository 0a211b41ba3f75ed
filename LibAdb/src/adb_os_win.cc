// Process trees and two-handle waits on Windows: cmd.exe in a job object of its own, its output
// read through an overlapped pipe so that the read can end at the limit, WaitForMultipleObjects.
#include "platform/win_util.h"

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "adb_os.h"
#include "platform/process.h"

namespace adb_os {

namespace {

namespace win = platform::win;
using win::InheritList;
using win::UniqueHandle;

int64_t NowMs() { return static_cast<int64_t>(GetTickCount64()); }

// Milliseconds left until `deadline` for a wait: INFINITE without a deadline, 0 once it has
// passed.
DWORD LeftMs(int64_t deadline) {
  if (deadline < 0) return INFINITE;
  int64_t left = deadline - NowMs();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left);
}

bool Expired(int64_t deadline) { return deadline >= 0 && NowMs() >= deadline; }

// Waits on `handle` until it is signalled or `deadline` has passed; a set `cancel` (if any)
// ends the wait with WAIT_OBJECT_0 + 1.
DWORD WaitUntil(HANDLE handle, int64_t deadline, HANDLE cancel = nullptr) {
  HANDLE handles[2] = {handle, cancel};
  for (;;) {
    DWORD r = WaitForMultipleObjects(cancel != nullptr ? 2 : 1, handles, FALSE, LeftMs(deadline));
    if (r != WAIT_TIMEOUT || Expired(deadline)) return r;
  }
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
      if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY) continue;
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

}  // namespace

RunResult RunShellInOwnGroup(const std::string& command, int64_t timeout_ms, std::string* output,
                             int* exit_code, int cancel_fd) {
  HANDLE cancel = win::ToHandle(cancel_fd);
  output->clear();
  *exit_code = -1;
  if (command.find('\0') != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return RunResult::kNotStarted;
  }
  wchar_t system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return RunResult::kNotStarted;
  // The system's cmd.exe, not one in the current folder or PATH. /d skips the registry's AutoRun
  // commands, /v:off keeps ! literal, /s /c takes off the outer quotes and nothing else.
  const std::wstring shell = std::wstring(system, length) + L"\\cmd.exe";
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
    DWORD saved = GetLastError();
    TerminateProcess(process.get(), 1);
    SetLastError(saved);
    return RunResult::kNotStarted;
  }
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    DWORD saved = GetLastError();
    TerminateJobObject(job.get(), 1);
    SetLastError(saved);
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
    DWORD n = 0;
    BOOL ok = ReadFile(read_end.get(), buffer, sizeof(buffer), nullptr, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
      DWORD waited = WaitUntil(read_done.get(), deadline, cancel);
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
    DWORD waited = WaitUntil(process.get(), deadline, cancel);
    if (waited == WAIT_TIMEOUT) timed_out = true;
    if (waited == WAIT_OBJECT_0 + 1) cancelled = true;
  }
  if (timed_out || cancelled) {
    TerminateJobObject(job.get(), 1);
    WaitForSingleObject(process.get(), static_cast<DWORD>(platform::kKillWaitMs));
  } else {
    // What the command left running on purpose (a server it started) stays, as it would on
    // Linux, where only a time-out kills the group.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION keep{};
    keep.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &keep, sizeof(keep));
  }
  DWORD code = 0;
  if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process.get(), &code)) {
    *exit_code = static_cast<int>(code);
  }
  if (cancelled) return RunResult::kCancelled;
  return timed_out ? RunResult::kTimedOut : RunResult::kDone;
}

uint32_t WaitForEither(int first_fd, int second_fd, int64_t timeout_ms) {
  // Checked here: the -1 of "none" is also the pseudo handle of our own process.
  HANDLE handles[2] = {win::ToHandle(first_fd), win::ToHandle(second_fd)};
  if (handles[0] == nullptr || handles[1] == nullptr) return kWaitFailed;
  // WaitForMultipleObjects takes no handle twice.
  const DWORD count = handles[0] == handles[1] ? 1 : 2;
  const int64_t deadline = timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
  for (;;) {
    // With both signalled it reports the lower index: the first wins.
    DWORD r = WaitForMultipleObjects(count, handles, FALSE, LeftMs(deadline));
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0) return kWaitFirst;
    if (r == WAIT_OBJECT_0 + 1 || r == WAIT_ABANDONED_0 + 1) return kWaitSecond;
    if (r != WAIT_TIMEOUT) return kWaitFailed;
    if (Expired(deadline)) return kWaitTimeout;
  }
}

}  // namespace adb_os
