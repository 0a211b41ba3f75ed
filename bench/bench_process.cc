#include "bench_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_stats.h"

extern char** environ;

namespace bench {
namespace {

double CpuSeconds(const rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// posix_spawn wants mutable strings ending in a null pointer.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

Process::~Process() {
  if (pid_ > 0 && !code_) {
    kill(static_cast<pid_t>(pid_), SIGKILL);
    Wait(-1);
  }
}

bool Process::Start(const std::vector<std::string>& argv, const std::filesystem::path& output,
                    const std::vector<std::string>& env) {
  if (argv.empty() || pid_ > 0) return false;
  std::vector<std::string> args = argv, envs = env;
  for (char** e = environ; *e != nullptr; ++e) envs.emplace_back(*e);
  std::vector<char*> cargv = Pointers(args), cenv = Pointers(envs);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (output.empty()) {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_addopen(&fa, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
  }
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  pid_ = rc == 0 ? pid : -1;
  code_.reset();
  return rc == 0;
}

std::optional<int> Process::Wait(int timeout_ms) {
  const int64_t deadline = NowUs() + int64_t{timeout_ms} * 1000;
  while (pid_ > 0 && !code_) {
    int status = 0;
    rusage ru{};
    pid_t r = wait4(static_cast<pid_t>(pid_), &status, timeout_ms < 0 ? 0 : WNOHANG, &ru);
    if (r == pid_) {
      code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      cpu_s_ = CpuSeconds(ru);
      break;
    }
    // Not ours to reap any more: waiting on would never end.
    if (r < 0 && errno != EINTR) code_ = -1;
    if (code_ || (timeout_ms >= 0 && NowUs() >= deadline)) break;
    if (r == 0) usleep(10000);  // polling a child's end; nothing to wake on without a handler
  }
  return code_;
}

void Process::Signal(int sig) {
  if (pid_ > 0 && !code_) kill(static_cast<pid_t>(pid_), sig);
}

int Run(const std::vector<std::string>& argv, double* cpu_s) {
  Process p;
  if (!p.Start(argv)) return -1;
  const int code = *p.Wait(-1);
  if (cpu_s != nullptr) *cpu_s = p.cpu_seconds();
  return code;
}

double ProcessCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return CpuSeconds(ru);
}

}  // namespace bench
