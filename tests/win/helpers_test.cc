// The SDK helpers on Win32: commands through cmd.exe, processes found and killed by name, named
// events between handles, the system's ini reader, and the paths of this process.
#include <windows.h>
// The SDK helper of that name, not the system's macro.
#undef GetPrivateProfileInt

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "file/path.h"
#include "file/profile.h"
#include "platform/process.h"
#include "subsystem/AutoEvent.h"
#include "subsystem/ProcessHelper.h"

namespace {

namespace fs = std::filesystem;
using NORV::sSubSystem::CAutoEvent;
using NORV::sSubSystem::CMenualEvent;
using NORV::sSubSystem::ProcessHelper;
using NORV::sSubSystem::ProcessInformation;

const std::string kPid = std::to_string(GetCurrentProcessId());

// A folder whose name holds a blank and characters cmd acts on, removed afterwards.
struct Scratch {
  fs::path path = fs::temp_directory_path() / ("pellion helpers & (" + kPid + ")");
  Scratch() { fs::create_directories(path); }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path StandIn(const std::string& name) const {
    fs::path to = path / name;
    fs::copy_file(STANDIN_PATH, to, fs::copy_options::overwrite_existing);
    return to;
  }
};

TEST(CommandTest, OutputOfBothStreamsAndTheExitCodeComeBack) {
  Scratch scratch;
  const fs::path tool = scratch.StandIn("tool.exe");
  std::string output;
  std::string command =
      ProcessHelper::ShellQuote(tool.string()) + " --print \"50% & more\" --exit 5";
  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult(command, "", &output), 5);
  EXPECT_EQ(output, "50% & more\r\n50% & more\r\n");

  int code = -1;
  EXPECT_EQ(ProcessHelper::_ExecInCmdWithResult("cd", scratch.path.string(), &output, &code, true),
            1);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(fs::path(output.substr(0, output.find_last_not_of("\r\n") + 1)), scratch.path)
      << "runs in the given folder";
}

TEST(CommandTest, AMissingProgramIsAFailedCommandNotAFailedCall) {
  std::string output;
  int code = 0;
  EXPECT_EQ(
      ProcessHelper::_ExecInCmdWithResult("pellion-no-such-program", "", &output, &code, true), 1);
  EXPECT_NE(code, 0);
}

TEST(CommandTest, ALineBreakIsRefusedRatherThanRunAsACommandOfItsOwn) {
  std::string output;
  int code = 0;
  EXPECT_EQ(platform::RunShellCommand("echo a\necho b", 10000, nullptr, &output, &code),
            platform::RunResult::kNotStarted);
  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult("echo a\r\necho b", "", &output), -1);
}

// As the benchmarks run their children: both streams into one file, with extra environment.
TEST(CommandTest, AShellWritesIntoOneFileWithTheExtraEnvironment) {
  Scratch scratch;
  const fs::path log = scratch.path / "log";
  platform::SpawnRequest request;
  request.extra_env = {"PELLION_A=a b"};
  request.stdout_path = request.stderr_path = log.string();
  request.caller_reaps = true;
  platform::Process shell;
  ASSERT_EQ(
      platform::Process::StartShell("echo %PELLION_A%& echo err 1>&2& exit 6", request, &shell),
      platform::SpawnResult::kOk);
  EXPECT_EQ(shell.Wait(60000), platform::kWaitObject0);
  EXPECT_EQ(shell.exit_code(), 6);
  std::ifstream in(log, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.rfind("a b\r\nerr", 0), 0u) << text;
}

TEST(ProcessTest, ALaunchedProgramIsFoundAndKilledByItsNameOnly) {
  Scratch scratch;
  const std::string name = "pellion-standin-" + kPid + ".exe";
  const fs::path tool = scratch.StandIn(name);
  ProcessInformation info;
  std::string line = ProcessHelper::QuoteProgram(tool.string()) + " --sleep-ms 60000";
  const platform::DWORD pid =
      ProcessHelper::CreateProcessW(nullptr, line.c_str(), 0, false, nullptr, &info, nullptr);
  ASSERT_NE(pid, 0u) << ProcessHelper::GetLastErrorText();
  EXPECT_EQ(info.process.Wait(0), platform::kWaitTimeout);
  EXPECT_EQ(ProcessHelper::FindProcessIdByName(name.c_str()), pid);
  EXPECT_EQ(ProcessHelper::FindProcessIdByName(("PELLION-STANDIN-" + kPid + ".EXE").c_str()), pid)
      << "letter case aside";
  EXPECT_EQ(ProcessHelper::FindProcessIdByName(("pellion-standin-" + kPid).c_str()), 0u);

  EXPECT_EQ(ProcessHelper::KillProcessByName(name.c_str()), 1);
  EXPECT_EQ(info.process.Wait(5000), platform::kWaitObject0);
  EXPECT_EQ(ProcessHelper::FindProcessIdByName(name.c_str()), 0u);
}

TEST(ProcessTest, AProgramThatCannotStartSaysWhy) {
  ProcessInformation info;
  EXPECT_EQ(ProcessHelper::CreateProcessW(nullptr, "C:\\pellion\\no such.exe", 0, false, nullptr,
                                          &info, nullptr),
            0u);
  EXPECT_FALSE(ProcessHelper::GetLastErrorText().empty());
  EXPECT_FALSE(info.process.IsValid());
}

TEST(EventTest, ANamedEventReachesAnotherHandleOnceAndAMissingOneFails) {
  const std::string name = "Global\\pellion_test_event_" + kPid;
  CAutoEvent created(name, false, true);
  ASSERT_TRUE(created.IsValid());
  CAutoEvent opened(name, false, false);
  ASSERT_TRUE(opened.IsValid());
  EXPECT_EQ(opened.Wait(0), 258u);
  EXPECT_TRUE(created.Set());
  EXPECT_TRUE(created.Set()) << "a set event stays one signal";
  EXPECT_EQ(opened.Wait(1000), 0u);
  EXPECT_EQ(opened.Wait(20), 258u);

  CAutoEvent missing("Global\\pellion_no_such_event_" + kPid, false, false);
  EXPECT_FALSE(missing.IsValid());
  CMenualEvent manual("pellion_manual_" + kPid);
  EXPECT_FALSE(manual.IsValid()) << "named manual-reset events stay refused, as on Linux";
}

TEST(ProfileTest, TheSystemReaderFindsKeysLetterCaseAsideAndDefaultsTheRest) {
  Scratch scratch;
  const fs::path ini = scratch.path / "NORVencrypt.ini";
  std::ofstream(ini) << "[other]\nencrypt=9\n[Log]\nEncrypt=1\nsize=12 MB\n";
  using NORV::sFileManager::GetPrivateProfileInt;
  EXPECT_EQ(GetPrivateProfileInt("log", "ENCRYPT", 7, ini.string()), 1);
  EXPECT_EQ(GetPrivateProfileInt("Log", "size", 7, ini.string()), 12);
  EXPECT_EQ(GetPrivateProfileInt("Log", "absent", 7, ini.string()), 7);
  EXPECT_EQ(GetPrivateProfileInt("Log", "Encrypt", 7, (scratch.path / "none.ini").string()), 7);
}

TEST(PathTest, ThisProcessAndFoldersUseWindowsSeparators) {
  using namespace NORV::sFileManager;
  const std::wstring exe = GetExeFilePath();
  EXPECT_EQ(fs::path(exe).filename(), L"win_tests.exe");
  EXPECT_EQ(GetModuleFilePath(), exe) << "the code is linked into the executable";
  EXPECT_EQ(CombineWithDirectory(L"C:\\host dir\\host.exe", L"scrcpy\\adb.exe"),
            L"C:\\host dir\\scrcpy\\adb.exe");
  EXPECT_EQ(ToNarrow(ToWide("\xF0\x9F\x8E\xA5 film")), "\xF0\x9F\x8E\xA5 film")
      << "characters beyond the BMP survive UTF-16";
  EXPECT_EQ(ToWide("\xF0\x9F\x8E\xA5").size(), 2u);
  EXPECT_EQ(NORV::sSubSystem::WideToUtf8(NORV::sSubSystem::Utf8ToWide("\xF0\x9F\x8E\xA5 film")),
            "\xF0\x9F\x8E\xA5 film");
}

}  // namespace
