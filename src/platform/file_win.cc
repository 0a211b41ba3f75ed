// Log files, no-replace moves, and the marker of "logging set up under NAME" as a named mutex of
// the logon session, which goes with the process however it ends.
#include <errno.h>

#include "platform/file.h"
#include "platform/win_util.h"

namespace platform {

int CreateFileForLog(const std::string& path, unsigned, bool append_existing) {
  // Readers (a log viewer) and the rotation's move may open the file while it is written.
  HANDLE h =
      CreateFileW(win::Wide(path).c_str(), append_existing ? FILE_APPEND_DATA : GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  append_existing ? OPEN_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = win::ErrnoFromWin32(GetLastError());
    return -1;
  }
  return win::FromHandle(h);
}

bool WriteAll(int fd, const void* data, size_t size) {
  if (fd < 0) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ::DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<::DWORD>(size);
    ::DWORD written = 0;
    if (!WriteFile(win::ToHandle(fd), p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

void CloseFile(int fd) {
  if (fd >= 0) CloseHandle(win::ToHandle(fd));
}

int MoveFileNoReplace(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING an existing target makes the move fail; across volumes
  // the system copies and deletes.
  if (MoveFileExW(win::Wide(from).c_str(), win::Wide(to).c_str(), MOVEFILE_COPY_ALLOWED)) return 0;
  return win::ErrnoFromWin32(GetLastError());
}

uint32_t ProcessId() { return ::GetCurrentProcessId(); }

std::string HostName() {
  wchar_t buf[256];
  ::DWORD n = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, buf, &n) || n == 0) return "(unknown)";
  return win::Utf8(std::wstring_view(buf, n));
}

int64_t WallClockMicros() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // 100 ns ticks since 1601-01-01.
  return static_cast<int64_t>(t / 10) - 11644473600LL * 1000000;
}

int64_t BootTimeSeconds() {
  return WallClockMicros() / 1000000 - static_cast<int64_t>(GetTickCount64() / 1000);
}

uint32_t UserId() {
  ::DWORD session = 0;
  ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

bool AcquireProcessMarker(const std::string& name) {
  std::wstring id = win::Wide("Local\\norv-log:" + name);
  HANDLE h = CreateMutexW(nullptr, FALSE, id.c_str());
  if (h == nullptr) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return false;
  }
  // Kept open for the life of the process on purpose.
  return true;
}

}  // namespace platform
