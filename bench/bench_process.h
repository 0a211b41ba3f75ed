// Child processes of the benchmarks, on the platform layer's process handle, with the child's
// CPU time beside its exit code.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace bench {

class Process {
 public:
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // One still running is killed and reaped: no benchmark leaves a child behind.
  ~Process();

  // Starts argv[0] (a path, or a name looked up in PATH) with `env` ("NAME=value") ahead of our
  // environment, stdin from the null device. With `output`, stdout and stderr both go into that
  // file (truncated); without, stdout is thrown away and stderr stays ours.
  bool Start(const std::vector<std::string>& argv, const std::filesystem::path& output = {},
             const std::vector<std::string>& env = {});
  // The exit code once it ended (128 + signal, -1 when it cannot be known); nullopt while it
  // still runs after `timeout_ms` (negative: no limit).
  std::optional<int> Wait(int timeout_ms);
  // Sends `sig` while it runs.
  void Signal(int sig);
  long pid() const { return static_cast<long>(process_.pid()); }
  // User and system time the child took, once it ended. Its children's own time is counted
  // only when it waited for them.
  double cpu_seconds() const { return cpu_s_; }

 private:
  platform::Process process_;
  std::optional<int> code_;
  double cpu_start_ = 0, cpu_s_ = 0;
};

// Runs a command to its end, its output thrown away: its exit code, -1 when it could not start.
// With `cpu_s`, the user and system time it took.
int Run(const std::vector<std::string>& argv, double* cpu_s = nullptr);

// User and system time of all this process's threads so far.
double ProcessCpuSeconds();

}  // namespace bench
