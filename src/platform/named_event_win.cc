// Named auto-reset events on Win32, created with a null DACL so that processes of any user and
// integrity level can open them.
#include "platform/event.h"
#include "platform/named_event.h"
#include "platform/win_util.h"

namespace platform {

std::string NamedSemaphore::SystemName(const std::string& name) { return name; }

NamedSemaphore::NamedSemaphore(const std::string& name, bool create, bool initially_set) {
  HANDLE h = nullptr;
  if (create) {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa{sizeof(sa), &sd, FALSE};
    h = CreateEventA(&sa, FALSE, initially_set, name.c_str());
  } else {
    h = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str());
  }
  if (h == nullptr) {
    error_ = win::ErrnoFromWin32(GetLastError());
    return;
  }
  sem_ = h;
}

NamedSemaphore::~NamedSemaphore() { Close(); }

void NamedSemaphore::Close() {
  if (sem_ != nullptr) CloseHandle(sem_);
  sem_ = nullptr;
}

bool NamedSemaphore::Set() { return sem_ != nullptr && SetEvent(sem_) != 0; }

bool NamedSemaphore::Reset() { return sem_ != nullptr && ResetEvent(sem_) != 0; }

uint32_t NamedSemaphore::Wait(int64_t timeout_ms) {
  if (sem_ == nullptr) return kWaitFailed;
  return win::WaitForHandle(sem_, timeout_ms);
}

// Named kernel objects go with their last handle.
bool NamedSemaphore::Unlink(const std::string&) { return true; }

}  // namespace platform
