// Processes on Windows: a registry of our children, waits on handles, output reads that a
// limit or a cancel can end, jobs as groups, Toolhelp snapshots.
#include "platform/process_win.h"

#include <tlhelp32.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace platform {

namespace {

using win::UniqueHandle;

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

}  // namespace

void win::RegisterChild(DWORD pid, UniqueHandle process, bool caller_reaps) {
  ChildRegistry::Get().Add(pid, std::move(process), caller_reaps);
}

ChildState ReapChildIfEnded(DWORD pid, int* exit_code) {
  return ChildRegistry::Get().ReapIfEnded(pid, exit_code, false);
}

ChildState ReapOwnChildIfEnded(DWORD pid, int* exit_code) {
  return ChildRegistry::Get().ReapIfEnded(pid, exit_code, true);
}

void ReleaseOwnChild(DWORD pid) { ChildRegistry::Get().Release(pid); }

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

// Overlapped, as our output pipes are; a handle opened without it reads the same, at once.
int64_t ReadOutput(int output_fd, void* buffer, size_t size, int64_t timeout_ms, int cancel_fd,
                   uint32_t* woke) {
  *woke = 0;
  HANDLE pipe = win::ToHandle(output_fd);
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (pipe == nullptr || !done) {
    if (pipe == nullptr) ::SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  const auto wanted = static_cast<::DWORD>(std::min<size_t>(size, 0x7FFFFFFF));
  for (;;) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = done.get();
    ::DWORD n = 0;
    bool ok = ReadFile(pipe, buffer, wanted, nullptr, &overlapped) != 0;
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
      ok = true;
      const int fds[2] = {win::FromHandle(done.get()), cancel_fd};
      uint32_t r = WaitForAny(fds, cancel_fd >= 0 ? 2 : 1, timeout_ms);
      if (r != 0) {
        *woke = r == 0xFFFFFFFF ? 0 : r;
        CancelIoEx(pipe, &overlapped);
        // The read owns `buffer` and `overlapped` until it has finished; what came before the
        // cancel is kept.
        if (GetOverlappedResult(pipe, &overlapped, &n, TRUE)) return n;
        return *woke != 0 ? 0 : -1;
      }
    }
    if (!ok || !GetOverlappedResult(pipe, &overlapped, &n, FALSE)) {
      ::DWORD error = ::GetLastError();
      // Every writer has closed the pipe: end of file.
      if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
      return error == ERROR_MORE_DATA ? n : -1;
    }
    // A writer's empty write reads as 0 bytes from a pipe without being its end.
    if (n == 0 && wanted > 0 && GetFileType(pipe) == FILE_TYPE_PIPE) continue;
    return n;
  }
}

int64_t ReadFd(int fd, void* buffer, size_t size) {
  uint32_t woke = 0;
  return ReadOutput(fd, buffer, size, -1, -1, &woke);
}

bool KillGroup(DWORD /*pid*/, int group_fd) {
  HANDLE job = win::ToHandle(group_fd);
  return job != nullptr && TerminateJobObject(job, 1) != 0;
}

void CloseGroup(int group_fd) {
  HANDLE job = win::ToHandle(group_fd);
  if (job == nullptr) return;
  // What the command left running on purpose (a server it started) stays, as it would on
  // Linux, where only a kill ends the group.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION keep{};
  keep.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &keep, sizeof(keep));
  CloseHandle(job);
}

bool SignalProcess(int pidfd, int /*signal*/) { return KillProcess(pidfd); }

void CloseFd(int fd) {
  HANDLE handle = win::ToHandle(fd);
  if (handle != nullptr) CloseHandle(handle);
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
