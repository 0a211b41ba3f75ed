// Windows backend only: windows.h without the macros that would rename our own functions, text
// conversions, and handles carried in the interfaces' int descriptors.
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#undef PostThreadMessage
#undef PostMessage
#undef GetWindowText
#undef CreateProcess
#undef GetClassName
#undef CreateEvent
#undef OpenEvent

namespace platform::win {

inline std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

inline std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

// Kernel handles fit in 32 bits and sign-extend back (documented for 32/64-bit interop), so the
// interfaces' int descriptors carry them; -1 is none.
inline int FromHandle(HANDLE h) {
  return h == nullptr || h == INVALID_HANDLE_VALUE ? -1 : HandleToLong(h);
}
inline HANDLE ToHandle(int fd) { return fd < 0 ? nullptr : LongToHandle(fd); }

// Owns one kernel handle. Closing keeps the thread's last error, so that cleanup on a failure
// path never hides why it failed.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) { reset(handle); }
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  HANDLE release() { return std::exchange(handle_, nullptr); }
  // INVALID_HANDLE_VALUE, as CreateFileW and Toolhelp fail, is stored as none.
  void reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) {
      ::DWORD saved = ::GetLastError();
      CloseHandle(handle_);
      ::SetLastError(saved);
    }
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// The attribute list that names the only handles a child inherits.
class InheritList {
 public:
  InheritList() = default;
  ~InheritList() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;

  // `handles` must stay alive and unchanged until the child is created.
  bool Init(HANDLE* handles, size_t count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_ = std::make_unique<char[]>(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return false;
    list_ = list;
    return UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                     count * sizeof(HANDLE), nullptr, nullptr) != 0;
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::unique_ptr<char[]> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// A security descriptor from SDDL, freed with its owner.
class SecurityAttributes {
 public:
  explicit SecurityAttributes(const wchar_t* sddl);
  ~SecurityAttributes();
  SecurityAttributes(const SecurityAttributes&) = delete;
  SecurityAttributes& operator=(const SecurityAttributes&) = delete;
  // Null when the descriptor could not be made: the object then gets the default one.
  SECURITY_ATTRIBUTES* get() { return sa_.lpSecurityDescriptor != nullptr ? &sa_ : nullptr; }

 private:
  SECURITY_ATTRIBUTES sa_{};
};

// WaitForSingleObject with the platform's results: kWaitObject0, kWaitTimeout, kWaitFailed
// (platform/event.h); a negative timeout waits without limit.
uint32_t WaitForHandle(HANDLE handle, int64_t timeout_ms);

// errno-style code for the Win32 error of a failed file or object call.
int ErrnoFromWin32(DWORD error);

}  // namespace platform::win
