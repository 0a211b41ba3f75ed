// Named auto-reset events shared with other processes: POSIX named semaphores.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class NamedSemaphore {
 public:
  // The Win32 name as given ("Global\\x", "Local\\x" or "x"); its prefix is dropped.
  // create=false opens an existing one and fails when there is none.
  NamedSemaphore(const std::string& name, bool create, bool initially_set);
  ~NamedSemaphore();
  NamedSemaphore(const NamedSemaphore&) = delete;
  NamedSemaphore& operator=(const NamedSemaphore&) = delete;

  bool valid() const { return sem_ != nullptr; }
  // errno of a failed construction, 0 otherwise.
  int error() const { return error_; }
  // Posts only while nobody has been signalled yet (value 0): repeated Sets stay one signal.
  bool Set();
  bool Reset();
  // kWaitObject0, kWaitTimeout or kWaitFailed (platform/event.h); a negative timeout waits
  // without limit. The clock is CLOCK_MONOTONIC.
  uint32_t Wait(int64_t timeout_ms);
  void Close();

  // The system name: "/" + the name without its Global\ or Local\ prefix.
  static std::string SystemName(const std::string& name);
  // Removes a name from the system (tests clean up with it; the plug-in never unlinks).
  static bool Unlink(const std::string& name);

 private:
  void* sem_ = nullptr;  // sem_t*
  int error_ = 0;
};

}  // namespace platform
