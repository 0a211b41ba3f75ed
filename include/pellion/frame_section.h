// The shared frame section, as the plug-in writes it and a renderer reads it.
//
// Section "norv_vframe_header_2025_05_19" (12,441,664 bytes; on Windows a named file mapping of
// the session, on Linux a POSIX shared-memory object "/norv_vframe_header_2025_05_19", mode
// 0600), little-endian, packed:
//   offset 0  1 byte   reserved (never written by the plug-in)
//   offset 1  4 bytes  frame index of the picture (the sender's)
//   offset 5  2 bytes  width in pixels
//   offset 7  2 bytes  height in pixels
//   offset 9  4 bytes  picture byte count n
//   offset 13 n bytes  NV12, 1-byte alignment: height rows of width luma bytes, then
//                      ceil(height/2) rows of 2*ceil(width/2) bytes of interleaved Cb,Cr
// After each picture the plug-in sets the auto-reset event "norv_vframe_event_2025_05_19" (on
// Linux the named semaphore "/norv_vframe_event_2025_05_19"). Nothing locks the section: the
// next picture is written into the same bytes, so a reader copies the picture out at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pellion {

inline constexpr const char* kFrameSectionName = "norv_vframe_header_2025_05_19";
inline constexpr const char* kFrameEventName = "norv_vframe_event_2025_05_19";
inline constexpr size_t kFrameSectionSize = 12441664;
inline constexpr size_t kFrameHeaderSize = 13;
inline constexpr size_t kFramePictureCapacity = 3840 * 2160 * 3 / 2;

struct FrameHeader {
  uint32_t frame_index = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t byte_count = 0;
};

inline FrameHeader ParseFrameHeader(const uint8_t* p) {
  FrameHeader h;
  h.frame_index = static_cast<uint32_t>(p[1]) | static_cast<uint32_t>(p[2]) << 8 |
                  static_cast<uint32_t>(p[3]) << 16 | static_cast<uint32_t>(p[4]) << 24;
  h.width = static_cast<uint16_t>(p[5] | p[6] << 8);
  h.height = static_cast<uint16_t>(p[7] | p[8] << 8);
  h.byte_count = static_cast<uint32_t>(p[9]) | static_cast<uint32_t>(p[10]) << 8 |
                 static_cast<uint32_t>(p[11]) << 16 | static_cast<uint32_t>(p[12]) << 24;
  return h;
}

}  // namespace pellion

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

#include <cstring>

namespace pellion {

// A renderer's side of the section: open, wait for a picture, copy it out.
class FrameReader {
 public:
  FrameReader() = default;
  ~FrameReader() { Close(); }
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Opens the section and the event, which the plug-in creates when it is built. False while
  // they do not exist, with errno (Windows: the Win32 error) in error().
  bool Open(const std::string& section = kFrameSectionName,
            const std::string& event = kFrameEventName) {
    Close();
#if defined(_WIN32)
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, section.c_str());
    if (mapping == nullptr) return Failed(static_cast<int>(GetLastError()));
    void* p = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);
    if (p == nullptr) return Failed(static_cast<int>(GetLastError()));
    data_ = static_cast<const uint8_t*>(p);
    MEMORY_BASIC_INFORMATION info{};
    size_ = VirtualQuery(p, &info, sizeof(info)) != 0 ? info.RegionSize : 0;
    if (size_ < kFrameHeaderSize) return Failed(ERROR_INVALID_DATA);
    event_ = OpenEventA(SYNCHRONIZE, FALSE, event.c_str());
    if (event_ == nullptr) return Failed(static_cast<int>(GetLastError()));
#else
    int fd = shm_open(("/" + section).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return Failed(errno);
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kFrameHeaderSize)) {
      close(fd);
      return Failed(EINVAL);
    }
    void* p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return Failed(errno);
    data_ = static_cast<const uint8_t*>(p);
    size_ = static_cast<size_t>(st.st_size);
    sem_t* s = sem_open(("/" + event).c_str(), 0);
    if (s == SEM_FAILED) return Failed(errno);
    event_ = s;
#endif
    return true;
  }

  void Close() {
#if defined(_WIN32)
    if (data_ != nullptr) UnmapViewOfFile(data_);
    if (event_ != nullptr) CloseHandle(event_);
#else
    if (data_ != nullptr) munmap(const_cast<uint8_t*>(data_), size_);
    if (event_ != nullptr) sem_close(event_);
#endif
    data_ = nullptr;
    event_ = nullptr;
    size_ = 0;
  }

  // Waits at most timeout_ms for the next picture's signal; false on time-out.
  bool Wait(int timeout_ms) {
    if (event_ == nullptr) return false;
#if defined(_WIN32)
    // A negative limit does not wait, as on Linux (INFINITE would wait for ever).
    return WaitForSingleObject(event_, static_cast<DWORD>(timeout_ms < 0 ? 0 : timeout_ms)) ==
           WAIT_OBJECT_0;
#else
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000;
    }
    while (sem_clockwait(event_, CLOCK_MONOTONIC, &deadline) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
#endif
  }

  // Copies the current picture and its header. `torn` is set when the header changed while the
  // picture was copied (the next picture arrived meanwhile). False when the section holds no
  // valid picture.
  bool Read(FrameHeader* header, std::vector<uint8_t>* picture, bool* torn = nullptr) {
    if (data_ == nullptr) return false;
    FrameHeader before = ParseFrameHeader(data_);
    if (before.byte_count == 0 || kFrameHeaderSize + before.byte_count > size_) return false;
    picture->resize(before.byte_count);
    std::memcpy(picture->data(), data_ + kFrameHeaderSize, before.byte_count);
    FrameHeader after = ParseFrameHeader(data_);
    if (torn != nullptr)
      *torn = after.frame_index != before.frame_index || after.byte_count != before.byte_count;
    *header = before;
    return true;
  }

  int error() const { return error_; }

 private:
  bool Failed(int err) {
    error_ = err;
    Close();
    return false;
  }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
#if defined(_WIN32)
  HANDLE event_ = nullptr;
#else
  sem_t* event_ = nullptr;
#endif
  int error_ = 0;
};

}  // namespace pellion
