// The SDK's process and window helpers: launching without a shell, running a shell command and
// capturing what it prints, finding and killing processes by name, finding top-level windows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "subsystem/ProcessHandle.h"

namespace NORV::sSubSystem {

// ASCII letter case aside, the same on every system and in every locale.
inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
bool EqualsNoCase(std::string_view a, std::string_view b);
bool ContainsNoCase(std::string_view text, std::string_view word);

// UTF-8 <-> wide strings (UTF-32 on Linux, UTF-16 on Windows). Invalid input becomes U+FFFD.
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

// Start-up information of a Windows process; its fields have no meaning on Linux and are kept
// only so that callers can be written the same on both platforms.
struct StartupInfo {
  platform::DWORD cb = 104;
  platform::DWORD flags = 0x81;
  uint16_t showWindow = 0;
};

struct ProcessInformation {
  ProcessHandle process;  // the child
  platform::DWORD processId = 0;
  platform::DWORD threadId = 0;  // its main thread, whose id is the pid on Linux
};

class ProcessHelper {
 public:
  // Starts a program and returns its pid, or 0 (GetLastErrorText then says why). No shell is
  // involved: `commandLine` is split by Windows' rules (see QuoteArgument) into the program's
  // arguments, argv[0] included. With an `application` that file is run; without one argv[0] is,
  // looked up in PATH when it holds no '/'. When `processInfoOut` is given it receives a
  // handle of the child; otherwise that is closed at once. `showWindow` (Windows:
  // how its first window shows), `inheritHandles` and `startupInfo` change nothing on Linux: no
  // descriptor is ever inherited. Null strings mean
  // none; the narrow form also takes empty ones as none.
  static platform::DWORD CreateProcessW(const wchar_t* application, const wchar_t* commandLine,
                                        uint16_t showWindow, bool inheritHandles,
                                        const StartupInfo* startupInfo,
                                        ProcessInformation* processInfoOut,
                                        const wchar_t* currentDirectory);
  static platform::DWORD CreateProcessW(const char* application, const char* commandLine,
                                        uint16_t showWindow, bool inheritHandles,
                                        const StartupInfo* startupInfo,
                                        ProcessInformation* processInfoOut,
                                        const char* currentDirectory);

  // Runs `/bin/sh -c command` (Windows: cmd.exe /c) in `directory` (empty: ours) and returns its
  // exit code, or -1 when it could not be run. Paths inside `command` must be quoted with
  // ShellQuote.
  static int ExecInCmdWithResult(const std::wstring& command, const std::wstring& directory,
                                 std::string* output);
  static int ExecInCmdWithResult(const std::string& command, const std::string& directory,
                                 std::string* output);
  // Returns 1 when the command ran, 0 when it could not be started. With `output`, stdin is
  // /dev/null and stdout and stderr are captured together until every holder of the pipe has
  // closed it; without, the command shares our standard streams. Either way the call waits for
  // the command to end and reaps it. *exitCode gets its exit code (128 + signal when killed),
  // -1 when it could not be read. `sameConsole` has no meaning on Linux.
  static int _ExecInCmdWithResult(const std::wstring& command, const std::wstring& directory,
                                  std::string* output, int* exitCode, bool sameConsole);
  static int _ExecInCmdWithResult(const std::string& command, const std::string& directory,
                                  std::string* output, int* exitCode, bool sameConsole);

  // Kills every process whose executable name equals `name` (letter case aside), except the
  // calling process, and waits up to about 2 s for each to be gone. Returns 1, or 0 when the
  // process list cannot be read.
  static int KillProcessByName(const char* name);
  // The first process whose executable name equals `name` (letter case aside), or 0.
  static platform::DWORD FindProcessIdByName(const wchar_t* name);
  static platform::DWORD FindProcessIdByName(const char* name);
  // Kills `pid` and waits up to about 2 s for it to be gone. 1 when the kill was sent.
  static int TerminateProcessById(platform::DWORD pid);
  // The text of the calling thread's last error, or "" when there is none.
  static std::string GetLastErrorText();

  // Top-level windows, topmost first, whose class (either WM_CLASS string) contains one of
  // `classWords` and whose title contains one of `titleWords`, letter case aside. An empty list
  // matches any text; a non-empty list never matches an empty text. Two empty lists give none.
  static std::vector<HWND> FindWindowsByClassAndTitle(const std::vector<std::string>& classWords,
                                                      const std::vector<std::string>& titleWords);

  // One word for the shell (/bin/sh, or cmd.exe), whatever blanks or shell characters it holds.
  static std::string ShellQuote(std::string_view text);
  // One argument of a command line for CreateProcessW (any word but the first).
  static std::string QuoteArgument(std::string_view text);
  // The program, the first word of a command line, e.g. a path with blanks.
  static std::string QuoteProgram(std::string_view text);
};

}  // namespace NORV::sSubSystem
