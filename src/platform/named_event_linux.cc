// Named events as POSIX semaphores, mode 0600: the user's own processes, like a Windows
// session's objects.
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <time.h>

#include "platform/event.h"
#include "platform/named_event.h"

namespace platform {
namespace {

sem_t* AsSem(void* p) { return static_cast<sem_t*>(p); }

}  // namespace

std::string NamedSemaphore::SystemName(const std::string& name) {
  std::string n = name;
  for (const char* prefix : {"Global\\", "Local\\"}) {
    std::string p(prefix);
    if (n.compare(0, p.size(), p) == 0) {
      n = n.substr(p.size());
      break;
    }
  }
  return "/" + n;
}

NamedSemaphore::NamedSemaphore(const std::string& name, bool create, bool initially_set) {
  std::string sys = SystemName(name);
  if (sys.size() < 2 || sys.find('/', 1) != std::string::npos) {
    error_ = EINVAL;
    return;
  }
  sem_t* s = create ? sem_open(sys.c_str(), O_CREAT, 0600, initially_set ? 1u : 0u)
                    : sem_open(sys.c_str(), 0);
  if (s == SEM_FAILED) {
    error_ = errno;
    return;
  }
  sem_ = s;
}

NamedSemaphore::~NamedSemaphore() { Close(); }

void NamedSemaphore::Close() {
  if (sem_ != nullptr) sem_close(AsSem(sem_));
  sem_ = nullptr;
}

bool NamedSemaphore::Set() {
  if (sem_ == nullptr) return false;
  int value = 0;
  if (sem_getvalue(AsSem(sem_), &value) == 0 && value > 0) return true;
  return sem_post(AsSem(sem_)) == 0;
}

bool NamedSemaphore::Reset() {
  if (sem_ == nullptr) return false;
  while (sem_trywait(AsSem(sem_)) == 0) {
  }
  return true;
}

uint32_t NamedSemaphore::Wait(int64_t timeout_ms) {
  if (sem_ == nullptr) return kWaitFailed;
  if (timeout_ms < 0) {
    while (sem_wait(AsSem(sem_)) != 0) {
      if (errno != EINTR) return kWaitFailed;
    }
    return kWaitObject0;
  }
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeout_ms / 1000;
  deadline.tv_nsec += (timeout_ms % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  while (sem_clockwait(AsSem(sem_), CLOCK_MONOTONIC, &deadline) != 0) {
    if (errno == ETIMEDOUT) return kWaitTimeout;
    if (errno != EINTR) return kWaitFailed;
  }
  return kWaitObject0;
}

bool NamedSemaphore::Unlink(const std::string& name) {
  return sem_unlink(SystemName(name).c_str()) == 0;
}

}  // namespace platform
