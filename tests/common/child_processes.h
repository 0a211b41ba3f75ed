// What /proc tells a test about processes it started: whether they are gone, left as zombies,
// and how many descriptors this process holds.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testing_util {

// The state letter and parent of `pid`; state 0 when there is no such process.
inline std::pair<char, pid_t> ProcState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  char state = 0;
  pid_t ppid = 0;
  if (paren != std::string::npos && paren + 4 < text.size())
    std::istringstream(text.substr(paren + 2)) >> state >> ppid;
  return {state, ppid};
}

// Killed and reaped: nothing of it is left in /proc.
inline bool ProcessReaped(pid_t pid) {
  return !std::filesystem::exists("/proc/" + std::to_string(pid));
}

// No such process any more, or only its zombie (an orphan whose reaper has not come yet).
inline bool ProcessGone(pid_t pid) {
  char state = ProcState(pid).first;
  return state == 0 || state == 'Z';
}

// Children of this process that ended and were never reaped.
inline std::vector<pid_t> ZombieChildren() {
  std::vector<pid_t> out;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (ProcState(std::stoi(name)) == std::pair<char, pid_t>{'Z', getpid()})
      out.push_back(std::stoi(name));
  }
  return out;
}

inline int OpenDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

}  // namespace testing_util
