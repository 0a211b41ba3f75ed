// ProcessHelper on top of the platform layer: spawns from argument vectors, never through a
// shell unless asked for one, and reaps every child it starts.
#include "subsystem/ProcessHelper.h"

#include "file/path.h"
#include "log/log.h"
#include "platform/process.h"
#include "platform/window.h"

namespace NORV::sSubSystem {

namespace {

using platform::DWORD;

bool MatchesWords(const std::string& text, const std::vector<std::string>& words) {
  if (words.empty()) return true;
  if (text.empty()) return false;
  for (const std::string& word : words)
    if (ContainsNoCase(text, word)) return true;
  return false;
}

std::string Utf8OrEmpty(const wchar_t* text) {
  return text != nullptr ? WideToUtf8(text) : std::string();
}

// Logging may change errno; the caller's GetLastErrorText must still see the failure.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(platform::GetLastError()) {}
  ~ErrnoKeeper() { platform::SetLastError(saved_); }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int saved_;
};

DWORD Launch(const char* application, const char* commandLine, ProcessInformation* info,
             const char* directory, uint16_t showWindow) {
  if (info != nullptr) *info = ProcessInformation{};
  platform::SpawnRequest request;
  request.show_window = showWindow;
  if (commandLine != nullptr) request.argv = platform::SplitCommandLine(commandLine);
  if (application != nullptr) {
    request.program = application;
    if (request.argv.empty()) request.argv.push_back(application);
  }
  if (directory != nullptr) request.directory = directory;

  platform::Process child;
  platform::Process::Start(request, &child);
  const DWORD pid = child.pid();
  if (info != nullptr && child.valid()) {
    info->processId = pid;
    info->threadId = pid;
    info->process = ProcessHandle(std::move(child));
  }
  ErrnoKeeper keep;
  LOGI << "createprocess:" << (application != nullptr ? application : "nullptr") << " "
       << (commandLine != nullptr ? commandLine : "nullptr") << " pid:" << pid;
  return pid;
}

const char* NullIfEmpty(const char* text) {
  return text != nullptr && *text != '\0' ? text : nullptr;
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t start = 0; start + word.size() <= text.size(); ++start) {
    if (EqualsNoCase(text.substr(start, word.size()), word)) return true;
  }
  return false;
}

// One conversion for the whole SDK: the path helpers'.
std::string WideToUtf8(std::wstring_view text) { return NORV::sFileManager::ToNarrow(text); }

std::wstring Utf8ToWide(std::string_view text) { return NORV::sFileManager::ToWide(text); }

DWORD ProcessHelper::CreateProcessW(const wchar_t* application, const wchar_t* commandLine,
                                    uint16_t showWindow, bool /*inheritHandles*/,
                                    const StartupInfo* /*startupInfo*/,
                                    ProcessInformation* processInfoOut,
                                    const wchar_t* currentDirectory) {
  std::string app = Utf8OrEmpty(application);
  std::string line = Utf8OrEmpty(commandLine);
  std::string dir = Utf8OrEmpty(currentDirectory);
  return Launch(application != nullptr ? app.c_str() : nullptr,
                commandLine != nullptr ? line.c_str() : nullptr, processInfoOut,
                currentDirectory != nullptr ? dir.c_str() : nullptr, showWindow);
}

DWORD ProcessHelper::CreateProcessW(const char* application, const char* commandLine,
                                    uint16_t showWindow, bool /*inheritHandles*/,
                                    const StartupInfo* /*startupInfo*/,
                                    ProcessInformation* processInfoOut,
                                    const char* currentDirectory) {
  return Launch(NullIfEmpty(application), NullIfEmpty(commandLine), processInfoOut,
                NullIfEmpty(currentDirectory), showWindow);
}

int ProcessHelper::ExecInCmdWithResult(const std::wstring& command, const std::wstring& directory,
                                       std::string* output) {
  return ExecInCmdWithResult(WideToUtf8(command), WideToUtf8(directory), output);
}

int ProcessHelper::ExecInCmdWithResult(const std::string& command, const std::string& directory,
                                       std::string* output) {
  int exitCode = -1;
  _ExecInCmdWithResult(command, directory, output, &exitCode, true);
  return exitCode;
}

int ProcessHelper::_ExecInCmdWithResult(const std::wstring& command, const std::wstring& directory,
                                        std::string* output, int* exitCode, bool sameConsole) {
  return _ExecInCmdWithResult(WideToUtf8(command), WideToUtf8(directory), output, exitCode,
                              sameConsole);
}

int ProcessHelper::_ExecInCmdWithResult(const std::string& command, const std::string& directory,
                                        std::string* output, int* exitCode, bool /*sameConsole*/) {
  if (exitCode != nullptr) *exitCode = -1;
  platform::SpawnRequest request;
  request.directory = directory;
  request.show_window = 0;  // hidden: no console window flashes up in a host's session
  request.capture_output = output != nullptr;
  request.caller_reaps = true;

  platform::Process child;
  switch (platform::Process::StartShell(command, request, &child)) {
    case platform::SpawnResult::kOk:
      break;
    case platform::SpawnResult::kPipeFailed: {
      ErrnoKeeper keep;
      LOGE << "Error on CreatePipe, err=" << platform::GetLastError();
      return 0;
    }
    case platform::SpawnResult::kSpawnFailed: {
      ErrnoKeeper keep;
      LOGE << "Error on CreateProcess, err=" << platform::GetLastError();
      return 0;
    }
  }

  if (output != nullptr) {
    output->clear();
    char buffer[1024];
    // Only end of file ends the read: a command's background children may still be writing.
    for (;;) {
      uint32_t woke = 0;
      int64_t n = child.ReadOutput(buffer, sizeof(buffer), -1, nullptr, &woke);
      if (n <= 0) break;
      output->append(buffer, static_cast<size_t>(n));
    }
    child.CloseOutput();
  }

  // The exit code comes from the wait, which also reaps the child.
  child.Wait(-1);
  const int code = child.exit_code();
  if (exitCode != nullptr) *exitCode = code;

  LOGI << platform::kShellPrefix << command
       << " CONSOLE DATA:" << (output != nullptr ? *output : "")
       << " exitcode:" << (exitCode != nullptr ? code : -1);
  return 1;
}

int ProcessHelper::KillProcessByName(const char* name) {
  std::vector<platform::ProcessEntry> processes;
  if (!platform::SnapshotProcesses(&processes)) return 0;
  if (name == nullptr) return 1;
  const DWORD self = platform::GetCurrentProcessId();
  for (const platform::ProcessEntry& process : processes) {
    if (process.pid != self && EqualsNoCase(process.name, name)) TerminateProcessById(process.pid);
  }
  return 1;
}

DWORD ProcessHelper::FindProcessIdByName(const wchar_t* name) {
  if (name == nullptr) return 0;
  return FindProcessIdByName(WideToUtf8(name).c_str());
}

DWORD ProcessHelper::FindProcessIdByName(const char* name) {
  if (name == nullptr) return 0;
  std::vector<platform::ProcessEntry> processes;
  if (!platform::SnapshotProcesses(&processes)) return 0;
  for (const platform::ProcessEntry& process : processes)
    if (EqualsNoCase(process.name, name)) return process.pid;
  return 0;
}

int ProcessHelper::TerminateProcessById(DWORD pid) {
  ProcessHandle process(pid, kProcessTerminate, false);
  // Waiting until it is gone lets a caller start a new instance without racing the old one;
  // when it is our child the wait also reaps it.
  bool killed = process.KillAndWait();
  ErrnoKeeper keep;
  process.Close();
  return killed ? 1 : 0;
}

std::string ProcessHelper::GetLastErrorText() {
  return platform::ErrorText(platform::GetLastError());
}

std::vector<HWND> ProcessHelper::FindWindowsByClassAndTitle(
    const std::vector<std::string>& classWords, const std::vector<std::string>& titleWords) {
  std::vector<HWND> found;
  if (classWords.empty() && titleWords.empty()) return found;
  for (HWND hwnd : platform::EnumTopLevelWindows()) {
    std::string title = platform::GetWindowTitle(hwnd);
    if (!MatchesWords(title, titleWords)) continue;
    std::string instance, class_name;
    platform::GetWindowClass(hwnd, &instance, &class_name);
    if (MatchesWords(instance, classWords) || MatchesWords(class_name, classWords))
      found.push_back(hwnd);
  }
  return found;
}

std::string ProcessHelper::ShellQuote(std::string_view text) { return platform::ShellQuote(text); }

std::string ProcessHelper::QuoteArgument(std::string_view text) {
  return platform::QuoteCommandLineArgument(text);
}

std::string ProcessHelper::QuoteProgram(std::string_view text) {
  return platform::QuoteCommandLineProgram(text);
}

}  // namespace NORV::sSubSystem
