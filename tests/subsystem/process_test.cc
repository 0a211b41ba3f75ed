// Launching, running commands, finding and killing processes, and reaping every child.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/child_processes.h"
#include "common/wait.h"
#include "log/log_capture.h"
#include "platform/event.h"
#include "platform/process.h"
#include "subsystem/ProcessHandle.h"
#include "subsystem/ProcessHelper.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using NORV::sSubSystem::ProcessHandle;
using NORV::sSubSystem::ProcessHelper;
using NORV::sSubSystem::ProcessInformation;

// A scratch folder whose own name holds blanks and shell characters, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "pellion proc XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    dir_ = root_ / "a b;touch x";
    fs::create_directories(dir_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  const fs::path& path() const { return dir_; }
  // A copy of a stand-in under a name of the test's own, so that finding and killing by name
  // cannot touch the stand-ins of tests that run in parallel.
  fs::path CopyProgram(const char* from, const std::string& name) const {
    fs::path to = dir_ / name;
    fs::copy_file(from, to);
    return to;
  }

 private:
  fs::path root_;
  fs::path dir_;
};

std::string UniqueName(const std::string& stem) {
  static int counter = 0;
  return stem + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The lines of a fake_cmd record that start with `key`, without the key.
std::vector<std::string> RecordValues(const std::string& record, const std::string& key) {
  std::vector<std::string> values;
  std::istringstream in(record);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + " ", 0) == 0) values.push_back(line.substr(key.size() + 1));
  return values;
}

using testing_util::OpenDescriptorCount;
using testing_util::ProcessReaped;
using testing_util::ZombieChildren;
using Pids = std::vector<pid_t>;

std::string Sh(const fs::path& path) { return ProcessHelper::ShellQuote(path.string()); }

// fake_cmd (or a copy) with `options`, started without a handle kept; 0 when it did not start.
platform::DWORD Launch(const std::string& program, const std::string& options) {
  std::string line = ProcessHelper::QuoteArgument(program) + " " + options;
  return ProcessHelper::CreateProcessW(nullptr, line.c_str(), 0, false, nullptr, nullptr, nullptr);
}

TEST(SplitCommandLineTest, FollowsWindowsRules) {
  using Args = std::vector<std::string>;
  struct Case {
    const char* line;
    Args args;
  };
  const Case cases[] = {
      {"", {}},
      {" \t ", {}},
      {"p  a\tb  ", {"p", "a", "b"}},
      {"p \"a b c\" d e", {"p", "a b c", "d", "e"}},
      {R"(p "ab\"c" "\\" d)", {"p", "ab\"c", "\\", "d"}},
      {R"(p a\\\b d"e f"g h)", {"p", R"(a\\\b)", "de fg", "h"}},
      {R"(p a\\\"b c d)", {"p", R"(a\"b)", "c", "d"}},
      {R"(p a\\\\"b c" d e)", {"p", R"(a\\b c)", "d", "e"}},
      // Inside a group "" gives a literal quote and ends the group; """ keeps it going.
      {R"(p a"b"" c d)", {"p", R"(ab")", "c", "d"}},
      {R"(p "a""" b")", {"p", R"(a" b)"}},
      {"p \"\" x", {"p", "", "x"}},
      // The program: quoted up to the next quote, backslashes as they are.
      {R"("/opt/my dir\\\prog" a)", {R"(/opt/my dir\\\prog)", "a"}},
      {R"(/bin/x\"y z)", {R"(/bin/x\"y)", "z"}},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::SplitCommandLine(c.line), c.args) << c.line;
}

TEST(SplitCommandLineTest, QuotedWordsComeBackUnchanged) {
  for (const std::string a : {"", "plain", "two words", "tab\there", "q\"uote", "\\\\srv",
                              "trailing\\", "end\\\\", "\\\"", "a;b|c&$(d)", "\"\"", "  spaced  "})
    EXPECT_EQ(platform::SplitCommandLine("p " + ProcessHelper::QuoteArgument(a)),
              (std::vector<std::string>{"p", a}));
  // A program is quoted without escapes: a trailing backslash stays one.
  for (const std::string p :
       {"/bin/prog", "/opt/my dir/prog", "C:\\Program Files\\x\\", "tab\there", ""})
    EXPECT_EQ(platform::SplitCommandLine(ProcessHelper::QuoteProgram(p) + " x"),
              (std::vector<std::string>{p, "x"}));
}

TEST(CreateProcessTest, ExactArgumentsArriveAndNothingIsInjected) {
  ScratchDir scratch;
  fs::path program = scratch.CopyProgram(FAKE_CMD_PATH, "fake cmd;touch y");
  fs::path record = scratch.path() / "record";

  std::wstring line = NORV::sSubSystem::Utf8ToWide(
      ProcessHelper::QuoteArgument(program.string()) + " --record " +
      ProcessHelper::QuoteArgument(record.string()) +
      R"( "two words" a\\b "q\"uote" ;touch z $(touch w) `touch v` | x > y)");
  std::wstring dir = scratch.path().wstring();
  ProcessInformation info;
  platform::DWORD pid =
      ProcessHelper::CreateProcessW(nullptr, line.c_str(), 0, false, nullptr, &info, dir.c_str());
  ASSERT_NE(pid, 0u);
  ASSERT_TRUE(info.process.IsValid());
  EXPECT_EQ(info.process.Wait(10000), platform::kWaitObject0);

  std::string text = ReadFile(record);
  EXPECT_EQ(RecordValues(text, "arg"),
            (std::vector<std::string>{program.string(), "--record", record.string(), "two words",
                                      R"(a\\b)", "q\"uote", ";touch", "z", "$(touch", "w)",
                                      "`touch", "v`", "|", "x", ">", "y"}));
  EXPECT_EQ(RecordValues(text, "cwd"), std::vector<std::string>{scratch.path().string()});
  for (const char* injected : {"x", "y", "z", "w", "v"})
    EXPECT_FALSE(fs::exists(scratch.path() / injected)) << injected;
  // Seen ended through the handle, so reaped.
  EXPECT_TRUE(ProcessReaped(static_cast<pid_t>(pid)));
}

TEST(CreateProcessTest, NoDescriptorCrossesAnExecEitherWay) {
  ScratchDir scratch;
  fs::path record = scratch.path() / "record";
  // Descriptors a host may have opened without close-on-exec.
  int leaky_file = open("/dev/null", O_RDONLY);
  int leaky_pipe[2];
  ASSERT_EQ(pipe(leaky_pipe), 0);
  platform::SpawnRequest request;
  request.program = FAKE_CMD_PATH;
  request.argv = {"fake_cmd", "--record", record.string()};
  request.capture_output = true;
  platform::SpawnedProcess child;
  ASSERT_EQ(platform::Spawn(request, &child), platform::SpawnResult::kOk);
  // And ours go to nobody: a host's own fork and exec must not carry them away either.
  const int opened = platform::OpenProcess(child.pid);
  for (int fd : {child.pidfd, child.output_fd, opened})
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << fd;
  EXPECT_EQ(platform::WaitForProcess(child.pidfd, child.pid, 10000, nullptr), 0u);
  std::set<std::string> fds;
  for (const std::string& fd : RecordValues(ReadFile(record), "fd"))
    fds.insert(fd.substr(0, fd.find(' ')));
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
  for (int fd : {child.pidfd, child.output_fd, opened, leaky_file, leaky_pipe[0], leaky_pipe[1]})
    close(fd);
}

TEST(CreateProcessTest, MissingProgramGivesZeroAndAnErrorText) {
  NORV::sLog::LogCapture log;
  const int fds_before = OpenDescriptorCount();
  ProcessInformation info;
  EXPECT_EQ(ProcessHelper::CreateProcessW(L"/nonexistent/prog", L"prog a", 0, false, nullptr, &info,
                                          nullptr),
            0u);
  EXPECT_EQ(ProcessHelper::GetLastErrorText(), "No such file or directory");
  EXPECT_FALSE(info.process.IsValid());

  // The narrow form passes empty strings on as none; with no program at all nothing starts.
  EXPECT_EQ(ProcessHelper::CreateProcessW("", "", 0, false, nullptr, nullptr, ""), 0u);
  EXPECT_FALSE(ProcessHelper::GetLastErrorText().empty());
  EXPECT_EQ(log.Count("createprocess:nullptr nullptr pid:0"), 1u);
  // A program looked up in PATH that is not there.
  EXPECT_EQ(ProcessHelper::CreateProcessW(nullptr, "pellion-no-such-program", 0, false, nullptr,
                                          nullptr, nullptr),
            0u);
  EXPECT_EQ(OpenDescriptorCount(), fds_before);
  EXPECT_EQ(ZombieChildren(), Pids{});
}

TEST(ExecTest, CapturesBothStreamsAndReturnsTheExitCode) {
  ScratchDir scratch;
  // Quoted for the shell, neither the path nor the text runs anything.
  fs::path program = scratch.CopyProgram(FAKE_CMD_PATH, "it's $(touch x); `touch y`");
  const std::string text = "a 'b' \"c\" $HOME `d` \\e; f";
  std::string output;
  std::string command =
      Sh(program) + " --out " + ProcessHelper::ShellQuote(text) + " --err to-stderr --exit 3";
  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult(NORV::sSubSystem::Utf8ToWide(command),
                                               scratch.path().wstring(), &output),
            3);
  EXPECT_EQ(output, text + "to-stderr");
  for (const char* injected : {"x", "y"}) EXPECT_FALSE(fs::exists(scratch.path() / injected));

  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult("exit 3", "", &output), 3);
  EXPECT_EQ(output, "");
  // stdin is /dev/null: a command that reads it does not wait for us.
  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult("cat; echo done", "", &output), 0);
  EXPECT_EQ(output, "done\n");
  // A command killed by a signal reports 128 + the signal.
  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult("kill -9 $$", "", &output), 128 + 9);
  // The shell ends at once; its background child writes later into the same pipe.
  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult("(sleep 0.3; echo late) & echo early", "", &output),
            0);
  EXPECT_EQ(output, "early\nlate\n");
  EXPECT_EQ(ZombieChildren(), Pids{});
}

TEST(ExecTest, WithoutOutputItStillWaitsAndMakesNoPipe) {
  ScratchDir scratch;
  fs::path record = scratch.path() / "record";
  const int fds_before = OpenDescriptorCount();
  int code = 0;
  std::string command = Sh(FAKE_CMD_PATH) + " --sleep-ms 200 --record " + Sh(record) + " --exit 4";
  EXPECT_EQ(ProcessHelper::_ExecInCmdWithResult(command, "", nullptr, &code, true), 1);
  // Returned only after the command ended: its record is there, its exit code read.
  EXPECT_EQ(code, 4);
  ASSERT_TRUE(fs::exists(record));
  // Its stdout is ours, not a pipe.
  std::string our_stdout = fs::read_symlink("/proc/self/fd/1").string();
  auto fds = RecordValues(ReadFile(record), "fd");
  EXPECT_NE(std::find(fds.begin(), fds.end(), "1 " + our_stdout), fds.end());

  // Without an exit-code slot as well.
  fs::remove(record);
  EXPECT_EQ(ProcessHelper::_ExecInCmdWithResult(command, "", nullptr, nullptr, false), 1);
  EXPECT_TRUE(fs::exists(record));
  EXPECT_EQ(OpenDescriptorCount(), fds_before);
  EXPECT_EQ(ZombieChildren(), Pids{});
}

TEST(ExecTest, ConcurrentCommandsEachGetTheirOwnOutputAndCode) {
  // With TZ unset glibc re-reads the zone on every log line's mktime, under a lock that
  // ThreadSanitizer cannot see; a set TZ is read once, here, before the threads start.
  setenv("TZ", ":/etc/localtime", 0);
  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult("true", "", nullptr), 0);
  // A slow command running beside them must not hold the fast ones' pipes open.
  std::thread slow([] {
    std::string output;
    EXPECT_EQ(ProcessHelper::ExecInCmdWithResult(Sh(FAKE_CMD_PATH) + " --sleep-ms 1500 --out slow",
                                                 "", &output),
              0);
    EXPECT_EQ(output, "slow");
  });
  std::vector<std::thread> fast;
  for (int t = 0; t < 3; ++t) {
    fast.emplace_back([t] {
      for (int i = 0; i < 5; ++i) {
        std::string output;
        const std::string text = std::to_string(100 + 10 * t + i);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(
            ProcessHelper::ExecInCmdWithResult(
                Sh(FAKE_CMD_PATH) + " --out " + text + " --exit " + std::to_string(i), "", &output),
            i);
        EXPECT_EQ(output, text);
        EXPECT_LT(testing_util::MillisSince(start), 1000);
      }
    });
  }
  for (auto& thread : fast) thread.join();
  slow.join();
  EXPECT_EQ(ZombieChildren(), Pids{});
}

TEST(ExecTest, FailuresAreLoggedAndLeakNothing) {
  NORV::sLog::LogCapture log;
  const int fds_before = OpenDescriptorCount();
  std::string output = "stale";
  int code = 7;
  EXPECT_EQ(ProcessHelper::_ExecInCmdWithResult("true", "/nonexistent/dir", &output, &code, true),
            0);
  EXPECT_EQ(code, -1);
  EXPECT_EQ(log.Count("Error on CreateProcess, err=2"), 1u);
  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult("true", "/nonexistent/dir", nullptr), -1);
  EXPECT_EQ(OpenDescriptorCount(), fds_before);

  // No descriptor left for the pipe.
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int lowest_free = 0;
  while (fcntl(lowest_free, F_GETFD) != -1) ++lowest_free;
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  int rc = ProcessHelper::_ExecInCmdWithResult("true", "", &output, &code, true);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(log.Count("Error on CreatePipe, err=24"), 1u);
  EXPECT_EQ(OpenDescriptorCount(), fds_before);
}

TEST(KillByNameTest, TwoProcessesOfOneNameAreBothKilledAndReaped) {
  ScratchDir scratch;
  std::string name = UniqueName("twin");
  fs::path program = scratch.CopyProgram(FAKE_CMD_PATH, name);
  platform::DWORD first = Launch(program.string(), "--hang");
  platform::DWORD second = Launch(program.string(), "--hang");
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);

  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  platform::DWORD found = ProcessHelper::FindProcessIdByName(upper.c_str());
  EXPECT_TRUE(found == first || found == second) << found;
  EXPECT_EQ(ProcessHelper::FindProcessIdByName(NORV::sSubSystem::Utf8ToWide(name).c_str()), found);

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ProcessHelper::KillProcessByName(name.c_str()), 1);
  EXPECT_LT(testing_util::MillisSince(start), 2000);
  // Gone when it returns: killed and, being our children, reaped.
  EXPECT_TRUE(ProcessReaped(static_cast<pid_t>(first)));
  EXPECT_TRUE(ProcessReaped(static_cast<pid_t>(second)));
  EXPECT_EQ(ZombieChildren(), Pids{});
  EXPECT_EQ(ProcessHelper::FindProcessIdByName(name.c_str()), 0u);

  EXPECT_EQ(ProcessHelper::KillProcessByName(name.c_str()), 1);
  EXPECT_EQ(ProcessHelper::KillProcessByName(nullptr), 1);
  EXPECT_EQ(ProcessHelper::FindProcessIdByName(static_cast<const char*>(nullptr)), 0u);
}

TEST(KillByNameTest, NeverKillsTheCaller) {
  // The stand-in kills by its own name: its sibling goes, it stays.
  std::string output;
  EXPECT_EQ(ProcessHelper::ExecInCmdWithResult(Sh(KILL_OWN_NAME_PATH), "", &output), 0) << output;
  EXPECT_NE(output.find("alive"), std::string::npos) << output;
}

TEST(TerminateTest, KillsWaitsAndLeaksNoDescriptor) {
  const int fds_before = OpenDescriptorCount();
  platform::DWORD pid = Launch(FAKE_CMD_PATH, "--hang");
  ASSERT_NE(pid, 0u);
  ProcessHandle watcher(pid, NORV::sSubSystem::kProcessAllAccess, false);
  ASSERT_TRUE(watcher.IsValid());
  EXPECT_EQ(watcher.Wait(0), platform::kWaitTimeout);

  EXPECT_EQ(ProcessHelper::TerminateProcessById(pid), 1);
  EXPECT_EQ(OpenDescriptorCount(), fds_before + 1);  // the watcher's
  EXPECT_TRUE(ProcessReaped(static_cast<pid_t>(pid)));
  EXPECT_EQ(watcher.Wait(0), platform::kWaitObject0);

  EXPECT_EQ(ProcessHelper::TerminateProcessById(pid), 0);
  EXPECT_EQ(ProcessHelper::TerminateProcessById(0), 0);
  EXPECT_EQ(OpenDescriptorCount(), fds_before + 1);

  ProcessHandle none(0, NORV::sSubSystem::kProcessAllAccess, false);
  EXPECT_FALSE(none.IsValid());
  EXPECT_EQ(none.Wait(0), 0xFFFFFFFFu);
}

TEST(ChildRegistryTest, AChildTheHostReapedCountsAsReaped) {
  platform::SpawnRequest request;
  request.program = FAKE_CMD_PATH;
  request.argv = {"fake_cmd", "--exit", "5"};
  platform::Process child;
  ASSERT_EQ(platform::Process::Start(request, &child), platform::SpawnResult::kOk);
  int status = 0;
  ASSERT_EQ(waitpid(static_cast<pid_t>(child.pid()), &status, 0), static_cast<pid_t>(child.pid()));
  EXPECT_EQ(child.Wait(10000), platform::kWaitObject0);
  EXPECT_EQ(child.exit_code(), -1);
  EXPECT_EQ(platform::ReapChildIfEnded(child.pid(), nullptr), platform::ChildState::kNotOurs);
}

// What the benchmarks' and end-to-end tests' children need: argv, extra environment, both
// streams into one file, a wait with a limit, a signal and the exit code.
TEST(ProcessTest, StreamsIntoOneFileWithExtraEnvironmentAndTheExitCode) {
  ScratchDir scratch;
  const fs::path log = scratch.path() / "log";
  platform::SpawnRequest request;
  request.argv = {"/bin/sh", "-c", "printf \"$PELLION_A$HOME\"; printf e >&2; exit 6"};
  request.extra_env = {"PELLION_A=a", "HOME=h"};
  request.stdout_path = request.stderr_path = log.string();
  platform::Process child;
  ASSERT_EQ(platform::Process::Start(request, &child), platform::SpawnResult::kOk);
  EXPECT_EQ(child.Wait(10000), platform::kWaitObject0);
  EXPECT_EQ(child.exit_code(), 6);
  // Reaped by that wait, once: the registry has nothing left of it.
  EXPECT_EQ(platform::ReapChildIfEnded(child.pid(), nullptr), platform::ChildState::kNotOurs);
  EXPECT_EQ(ReadFile(log), "ahe");
}

TEST(ProcessTest, WaitsEndOnTheLimitTheTokenOrASignal) {
  platform::SpawnRequest request;
  request.argv = {FAKE_CMD_PATH, "--hang"};
  request.caller_reaps = true;
  platform::Process child;
  ASSERT_EQ(platform::Process::Start(request, &child), platform::SpawnResult::kOk);
  platform::CancelToken cancel;
  EXPECT_EQ(child.Wait(0, &cancel), platform::kWaitTimeout);
  EXPECT_EQ(platform::WaitForAny({cancel, child}, 0), platform::kWaitTimeout);
  cancel.Cancel();
  EXPECT_EQ(child.Wait(-1, &cancel), platform::kWaitObject0 + 1);
  EXPECT_EQ(platform::WaitForAny({cancel, child}, -1), 0u) << "the token comes first";
  ASSERT_TRUE(child.Signal(SIGTERM));
  EXPECT_EQ(platform::WaitForAny({child}, 10000), 0u);
  EXPECT_EQ(child.Wait(10000), platform::kWaitObject0);
  EXPECT_EQ(child.exit_code(), 128 + SIGTERM);
  EXPECT_FALSE(child.Kill()) << "reaped: its pid may be anyone's";
}

TEST(ProcessTest, AChildLetGoUnreapedIsReapedByTheRegistry) {
  const int fds_before = OpenDescriptorCount();
  {
    platform::SpawnRequest request;
    request.argv = {FAKE_CMD_PATH, "--out", "x"};
    request.caller_reaps = true;
    request.capture_output = true;
    platform::Process child;
    ASSERT_EQ(platform::Process::Start(request, &child), platform::SpawnResult::kOk);
    uint32_t woke = 1;
    char c = 0;
    EXPECT_EQ(child.ReadOutput(&c, 1, 10000, nullptr, &woke), 1);
    EXPECT_EQ(woke, 0u);
  }
  // A snapshot reaps what ended meanwhile, and the registry lets go of its descriptor.
  std::vector<platform::ProcessEntry> processes;
  EXPECT_TRUE(testing_util::WaitUntil([&] {
    platform::SnapshotProcesses(&processes);
    return ZombieChildren().empty() && OpenDescriptorCount() == fds_before;
  }));
}

TEST(RunShellCommandTest, TheTokenKillsTheGroupAndKeepsWhatCameBefore) {
  ScratchDir scratch;
  const fs::path marker = scratch.path() / "marker";
  platform::CancelToken cancel;
  std::thread canceller([&] {
    EXPECT_TRUE(testing_util::WaitUntil([&] { return fs::exists(marker); }));
    cancel.Cancel();
  });
  std::string output;
  int code = 0;
  EXPECT_EQ(platform::RunShellCommand(
                "echo early; : > " + Sh(marker) + "; " + Sh(FAKE_CMD_PATH) + " --hang", 60000,
                &cancel, &output, &code),
            platform::RunResult::kCancelled);
  canceller.join();
  EXPECT_EQ(output, "early\n");
  EXPECT_EQ(code, 128 + SIGKILL);
  EXPECT_EQ(ZombieChildren(), Pids{});
}

}  // namespace
