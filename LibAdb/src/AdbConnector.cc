// The device connector: "adb connect" in a process group of its own, under a time limit.
#include "AdbConnector.h"

#include <cctype>
#include <cstdio>

#include "command_path.h"
#include "file/path.h"
#include "log/log.h"
#include "platform/process.h"
#include "subsystem/ProcessHelper.h"

namespace {

// The address lands on a shell command line: only what an address or host name holds.
bool IsSafeAddress(const std::string& address) {
  if (address.empty()) return false;
  for (unsigned char c : address)
    if (!std::isalnum(c) && c != '.' && c != ':' && c != '-') return false;
  return true;
}

// `command` with its program (the first word) made absolute beside `base_path` and quoted for
// the shell; empty when `base_path` has no folder.
std::string AbsoluteShellCommand(const std::wstring& base_path, const std::string& command) {
  std::string rest;
  std::string program = adb_command::ProgramBeside(base_path, command, &rest);
  if (program.empty()) return {};
  return NORV::sSubSystem::ProcessHelper::ShellQuote(program) + rest;
}

}  // namespace

AdbConnector::AdbConnector(int64_t timeout_ms, std::wstring exe_path, platform::CancelToken* cancel)
    : timeout_ms_(timeout_ms), exe_path_(std::move(exe_path)), cancel_(cancel) {}

AdbConnector::~AdbConnector() = default;

bool AdbConnector::Connect(const std::string& address) {
  bool connected = false;
  std::string command;
  if (IsSafeAddress(address)) {
    char formatted[256];
    std::snprintf(formatted, sizeof(formatted), kCommandFormat, address.c_str(), kAdbPort);
    command = AbsoluteShellCommand(
        exe_path_.empty() ? NORV::sFileManager::GetExeFilePath() : exe_path_, formatted);
  } else {
    LOGE << "refusing adb address " << address;
  }
  if (!command.empty()) {
    std::string output;
    int exit_code = -1;
    platform::RunResult run =
        platform::RunShellCommand(command, timeout_ms_, cancel_, &output, &exit_code);
    if (run == platform::RunResult::kPipeFailed) {
      LOGE << "Error on CreatePipe, err=" << platform::GetLastError();
    } else if (run == platform::RunResult::kNotStarted) {
      LOGE << "Error on CreateProcess, err=" << platform::GetLastError();
    } else {
      LOGI << platform::kShellPrefix << command << " CONSOLE DATA:" << output
           << " exitcode:" << exit_code;
    }
    if (run == platform::RunResult::kTimedOut) {
      LOGE << "adb did not finish within " << timeout_ms_ << " ms: killed it and its group";
    } else if (run == platform::RunResult::kCancelled) {
      LOGI << "adb cancelled: killed it and its group";
    } else {
      connected = IsConnected(output);
    }
  }
  LOGI << "connect to " << address << " " << NORV::sLog::Bool(connected);
  return connected;
}

bool AdbConnector::IsConnected(std::string_view output) {
  return NORV::sSubSystem::ContainsNoCase(output, kSuccessText);
}
