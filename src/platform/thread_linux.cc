// Thread identity on Linux: ids are kernel tids, names go to prctl.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/thread.h"

namespace platform {

DWORD GetCurrentThreadId() {
  // The id is read often (every log line); the kernel call is made once per thread.
  thread_local const DWORD tid = static_cast<DWORD>(::gettid());
  return tid;
}

void SetCurrentThreadName(std::string_view name) {
  std::string cut(name.substr(0, 15));
  pthread_setname_np(pthread_self(), cut.c_str());
}

int UsableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

}  // namespace platform
