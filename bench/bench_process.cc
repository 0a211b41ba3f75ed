#include "bench_process.h"

#include <sys/resource.h>

namespace bench {
namespace {

double CpuSeconds(const rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Reaped children's time so far: a child's own is the rise across its reaping. Benchmarks
// reap one child at a time.
double ChildrenCpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  return CpuSeconds(ru);
}

}  // namespace

Process::~Process() {
  if (!code_ && process_.Kill()) Wait(-1);
}

bool Process::Start(const std::vector<std::string>& argv, const std::filesystem::path& output,
                    const std::vector<std::string>& env) {
  if (argv.empty() || process_.valid()) return false;
  platform::SpawnRequest request;
  request.argv = argv;
  request.extra_env = env;
  request.stdout_path = output.empty() ? "/dev/null" : output.string();
  if (!output.empty()) request.stderr_path = request.stdout_path;
  request.caller_reaps = true;
  code_.reset();
  cpu_start_ = ChildrenCpuSeconds();
  return platform::Process::Start(request, &process_) == platform::SpawnResult::kOk;
}

std::optional<int> Process::Wait(int timeout_ms) {
  if (!code_ && process_.valid() && process_.Wait(timeout_ms) == platform::kWaitObject0) {
    code_ = process_.exit_code();
    cpu_s_ = ChildrenCpuSeconds() - cpu_start_;
  }
  return code_;
}

void Process::Signal(int sig) {
  if (!code_) process_.Signal(sig);
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
