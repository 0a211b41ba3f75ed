// Shared pieces of the Windows backend.
#include "platform/win_util.h"

#include <errno.h>
#include <sddl.h>

#include <algorithm>

#include "platform/event.h"

namespace platform::win {

SecurityAttributes::SecurityAttributes(const wchar_t* sddl) {
  sa_.nLength = sizeof(sa_);
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
    sa_.lpSecurityDescriptor = sd;
}

SecurityAttributes::~SecurityAttributes() {
  if (sa_.lpSecurityDescriptor != nullptr) LocalFree(sa_.lpSecurityDescriptor);
}

uint32_t WaitForHandle(HANDLE handle, int64_t timeout_ms) {
  ::DWORD ms =
      timeout_ms < 0 ? INFINITE : static_cast<::DWORD>(std::min<int64_t>(timeout_ms, INFINITE - 1));
  switch (WaitForSingleObject(handle, ms)) {
    case WAIT_OBJECT_0:
      return kWaitObject0;
    case WAIT_TIMEOUT:
      return kWaitTimeout;
    default:
      return kWaitFailed;
  }
}

int ErrnoFromWin32(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_BAD_EXE_FORMAT:
      return ENOEXEC;
    default:
      return EINVAL;
  }
}

}  // namespace platform::win
