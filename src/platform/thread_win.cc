// Thread identity on Win32; names go to SetThreadDescription where the system has it.
#include <string>

#include "platform/thread.h"
#include "platform/win_util.h"

namespace platform {

DWORD GetCurrentThreadId() { return ::GetCurrentThreadId(); }

void SetCurrentThreadName(std::string_view name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  // Looked up: older systems lack it, and a missing name must not keep the module from loading.
  static const auto set = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set != nullptr) set(GetCurrentThread(), win::Wide(name).c_str());
}

int UsableCores() {
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    int n = 0;
    for (; process != 0; process &= process - 1) ++n;
    return n;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

}  // namespace platform
