// Starting processes on Windows: one CreateProcessW for every child, with an explicit list of
// the handles it inherits, and for a group a job object it enters before it runs.
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "platform/process_win.h"

namespace platform {

namespace {

using win::InheritList;
using win::UniqueHandle;

// A NUL would cut the UTF-16 text short, and with it the command line.
bool HasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

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

UniqueHandle OpenInheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  const std::wstring name = path.empty() ? L"NUL" : win::Wide(path);
  return UniqueHandle(CreateFileW(name.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  write ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr));
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

// The handles of a child's standard streams, each inheritable. Captured: NUL and the write end
// of the output pipe for both. Into files: NUL and the files. Otherwise copies of our own
// streams, so that the child shares them as on Linux; a stream we do not have stays none.
struct ChildStreams {
  UniqueHandle input;
  UniqueHandle output;
  UniqueHandle error;  // none when it is `output`
  UniqueHandle read_end;
  bool shared_error = false;
};

SpawnResult MakeStreams(const SpawnRequest& request, ChildStreams* streams) {
  const bool files = !request.stdout_path.empty() || !request.stderr_path.empty();
  if (request.capture_output) {
    if (!CreateOutputPipe(&streams->read_end, &streams->output)) return SpawnResult::kPipeFailed;
    streams->shared_error = true;
  } else if (!request.stdout_path.empty()) {
    streams->output = OpenInheritable(request.stdout_path, true);
    if (!streams->output) return SpawnResult::kSpawnFailed;
  } else {
    streams->output = InheritableCopy(STD_OUTPUT_HANDLE);
  }
  if (!request.capture_output && !request.stderr_path.empty() &&
      request.stderr_path == request.stdout_path) {
    streams->shared_error = true;
  } else if (!request.capture_output && !request.stderr_path.empty()) {
    streams->error = OpenInheritable(request.stderr_path, true);
    if (!streams->error) return SpawnResult::kSpawnFailed;
  } else if (!request.capture_output) {
    streams->error = InheritableCopy(STD_ERROR_HANDLE);
  }
  streams->input = request.capture_output || files ? OpenInheritable({}, false)
                                                   : InheritableCopy(STD_INPUT_HANDLE);
  if ((request.capture_output || files) && !streams->input) return SpawnResult::kSpawnFailed;
  return SpawnResult::kOk;
}

// The job that holds a child's group: closing it kills what is in it, until CloseGroup lets go.
// A program that asks to leave the job may, as one may leave a process group with setsid;
// refusing it would make its own CreateProcess fail.
UniqueHandle MakeJob() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                      sizeof(limits)))
    job.reset();
  return job;
}

// Our environment with `extra` added, as a block for CreateProcessW; an entry of `extra`
// replaces ours of the same name (letter case aside, as Windows names them).
std::wstring EnvironmentBlock(const std::vector<std::string>& extra) {
  std::wstring block;
  std::vector<std::wstring> names;
  for (const std::string& entry : extra) {
    std::wstring wide = win::Wide(entry);
    names.push_back(wide.substr(0, wide.find(L'=')));
    block += wide;
    block += L'\0';
  }
  wchar_t* ours = GetEnvironmentStringsW();
  for (const wchar_t* e = ours; e != nullptr && *e != L'\0'; e += wcslen(e) + 1) {
    std::wstring_view entry(e);
    // "=C:=C:\\dir" and the like: the first = is part of the name.
    std::wstring_view name = entry.substr(0, entry.find(L'=', 1));
    bool replaced = false;
    for (const std::wstring& n : names)
      replaced =
          replaced || (n.size() == name.size() &&
                       CompareStringOrdinal(n.data(), static_cast<int>(n.size()), name.data(),
                                            static_cast<int>(name.size()), TRUE) == CSTR_EQUAL);
    if (!replaced) block.append(entry).push_back(L'\0');
  }
  if (ours != nullptr) FreeEnvironmentStringsW(ours);
  block += L'\0';
  return block;
}

// A created child (suspended when it has a job) into its job and the registry, running.
SpawnResult Adopt(const PROCESS_INFORMATION& info, UniqueHandle job, bool caller_reaps,
                  SpawnedProcess* out) {
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  HANDLE caller = nullptr;
  const bool ok = (!job || (AssignProcessToJobObject(job.get(), process.get()) &&
                            ResumeThread(thread.get()) != static_cast<::DWORD>(-1))) &&
                  DuplicateHandle(GetCurrentProcess(), process.get(), GetCurrentProcess(), &caller,
                                  0, FALSE, DUPLICATE_SAME_ACCESS);
  if (!ok) {
    // Nobody could wait for it or reap it: it ends now (the job, if any, on closing).
    ::DWORD saved = ::GetLastError();
    TerminateProcess(process.get(), 1);
    ::SetLastError(saved);
    return SpawnResult::kSpawnFailed;
  }
  win::RegisterChild(info.dwProcessId, std::move(process), caller_reaps);
  out->pid = info.dwProcessId;
  out->pidfd = win::FromHandle(caller);
  out->group_fd = win::FromHandle(job.release());
  return SpawnResult::kOk;
}

// The start-up information for `streams`: only they are inherited (none: nothing is), and the
// window shown as asked. Returns the creation flags that go with it, or false.
bool FillStartup(const SpawnRequest& request, const ChildStreams& streams, InheritList* list,
                 HANDLE (&inherited)[3], STARTUPINFOEXW* startup, ::DWORD* flags) {
  // Nothing of ours or the host's reaches the child but these: a pipe end held by a long-lived
  // child would keep our reads from ever ending.
  size_t count = 0;
  for (const UniqueHandle* h : {&streams.input, &streams.output, &streams.error})
    if (*h) inherited[count++] = h->get();
  startup->StartupInfo.cb = sizeof(STARTUPINFOW);
  if (count > 0) {
    if (!list->Init(inherited, count)) return false;
    startup->StartupInfo.cb = sizeof(*startup);
    startup->lpAttributeList = list->get();
    startup->StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup->StartupInfo.hStdInput = streams.input.get();
    startup->StartupInfo.hStdOutput = streams.output.get();
    startup->StartupInfo.hStdError =
        streams.shared_error ? streams.output.get() : streams.error.get();
    *flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  // A captured command is a console program run for its output: no console window for it.
  if (request.capture_output) *flags |= CREATE_NO_WINDOW;
  // How the child's first window (a console program's console) is shown.
  if (request.show_window >= 0) {
    startup->StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
    startup->StartupInfo.wShowWindow = static_cast<WORD>(request.show_window);
  }
  if (!request.extra_env.empty()) *flags |= CREATE_UNICODE_ENVIRONMENT;
  return true;
}

// Starts `application` (empty: the first word of `command_line`, searched for by CreateProcessW)
// with `command_line` as it is. Shared by Spawn and SpawnShell.
SpawnResult SpawnCommandLine(const SpawnRequest& request, const std::wstring& application,
                             std::wstring command_line, SpawnedProcess* out) {
  ChildStreams streams;
  SpawnResult made = MakeStreams(request, &streams);
  if (made != SpawnResult::kOk) return made;
  UniqueHandle job;
  if (request.own_group && !(job = MakeJob())) return SpawnResult::kSpawnFailed;
  // Suspended until it is in the job, so that nothing it starts can be outside.
  ::DWORD flags = job ? CREATE_SUSPENDED : 0;
  HANDLE inherited[3];
  InheritList list;
  STARTUPINFOEXW startup{};
  if (!FillStartup(request, streams, &list, inherited, &startup, &flags))
    return SpawnResult::kSpawnFailed;
  std::wstring env =
      request.extra_env.empty() ? std::wstring() : EnvironmentBlock(request.extra_env);
  std::wstring directory = win::Wide(request.directory);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(
          application.empty() ? nullptr : application.c_str(), command_line.data(), nullptr,
          nullptr, startup.lpAttributeList != nullptr, flags, env.empty() ? nullptr : env.data(),
          directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo, &info)) {
    return SpawnResult::kSpawnFailed;
  }
  SpawnResult adopted = Adopt(info, std::move(job), request.caller_reaps, out);
  // Our copy of the write end would keep the read from ever seeing end of file.
  if (adopted == SpawnResult::kOk && request.capture_output)
    out->output_fd = win::FromHandle(streams.read_end.release());
  return adopted;
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

}  // namespace platform
