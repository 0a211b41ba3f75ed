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
//
// Publication record, in the tail no picture reaches (offset 12,441,616, 48 bytes; absent from a
// section smaller than 12,441,664), little-endian, naturally aligned:
//   +0  4 bytes  magic 0x52504C50 (the bytes "PLPR")
//   +4  4 bytes  version, 1
//   +8  8 bytes  sequence: odd while a picture is being written, even when it is whole; +2 per
//                picture
//   +16 4 bytes  frame index of the last whole picture
//   +20 2 bytes  width
//   +22 2 bytes  height
//   +24 4 bytes  picture byte count
//   +28 4 bytes  process id of the writer
//   +32 8 bytes  publication time in microseconds: CLOCK_MONOTONIC on Linux,
//                QueryPerformanceCounter converted to microseconds on Windows
//   +40 8 bytes  zero
// The writer stores the odd sequence, a release fence, the header and picture, the record's
// fields, then the even sequence (release). A reader loads the sequence (acquire), copies, fences
// (acquire) and loads the sequence and writer id again: any change means the copy is mixed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace pellion {

inline constexpr const char* kFrameSectionName = "norv_vframe_header_2025_05_19";
inline constexpr const char* kFrameEventName = "norv_vframe_event_2025_05_19";
inline constexpr size_t kFrameSectionSize = 12441664;
inline constexpr size_t kFrameHeaderSize = 13;
inline constexpr size_t kFramePictureCapacity = 3840 * 2160 * 3 / 2;

inline constexpr size_t kFrameRecordOffset = 12441616;
inline constexpr size_t kFrameRecordSize = 48;
inline constexpr uint32_t kFrameRecordMagic = 0x52504C50;
inline constexpr uint32_t kFrameRecordVersion = 1;
// Field offsets inside the record.
inline constexpr size_t kRecordMagic = 0;
inline constexpr size_t kRecordVersion = 4;
inline constexpr size_t kRecordSequence = 8;
inline constexpr size_t kRecordFrameIndex = 16;
inline constexpr size_t kRecordWidth = 20;
inline constexpr size_t kRecordHeight = 22;
inline constexpr size_t kRecordByteCount = 24;
inline constexpr size_t kRecordWriterId = 28;
inline constexpr size_t kRecordPublishedUs = 32;
static_assert(kFrameRecordOffset % 8 == 0 &&
              kFrameRecordOffset >= kFrameHeaderSize + kFramePictureCapacity &&
              kFrameRecordOffset + kFrameRecordSize == kFrameSectionSize);

// A field of the record, as an atomic on the mapped bytes. The record is only ever at an
// 8-aligned offset of a page-aligned mapping, so every field is naturally aligned. Bind the
// result with auto&&: it is an atomic_ref in C++20, a reference to an atomic before.
#if defined(__cpp_lib_atomic_ref)
template <typename T>
std::atomic_ref<T> RecordField(const uint8_t* record, size_t offset) {
  static_assert(std::atomic_ref<T>::is_always_lock_free);
  return std::atomic_ref<T>(*reinterpret_cast<T*>(const_cast<uint8_t*>(record) + offset));
}
#else
// C++17 renderers: a lock-free std::atomic<T> has T's size and representation on every
// compiler this header targets, which is what sharing it between processes relies on.
template <typename T>
std::atomic<T>& RecordField(const uint8_t* record, size_t offset) {
  static_assert(std::atomic<T>::is_always_lock_free && sizeof(std::atomic<T>) == sizeof(T));
  return *reinterpret_cast<std::atomic<T>*>(const_cast<uint8_t*>(record) + offset);
}
#endif

// The fences of the record's protocol. GCC's ThreadSanitizer does not model fences and warns;
// what they order is seen by another process, which it cannot watch anyway.
inline void RecordFence(std::memory_order order) {
#if defined(__SANITIZE_THREAD__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
  __atomic_thread_fence(static_cast<int>(order));
#pragma GCC diagnostic pop
#else
  std::atomic_thread_fence(order);
#endif
}

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

// The bytes of an NV12 picture of width x height, as the section lays it out.
inline uint64_t Nv12ByteCount(uint32_t width, uint32_t height) {
  return uint64_t{width} * height + uint64_t{2} * ((width + 1) / 2) * ((height + 1) / 2);
}

// A header that can describe a picture in `room` bytes after it: a renderer that sizes its
// picture by width and height reads exactly byte_count bytes.
inline bool PlausibleHeader(const FrameHeader& h, size_t room) {
  return h.byte_count != 0 && h.byte_count <= room &&
         Nv12ByteCount(h.width, h.height) == h.byte_count;
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

// The clock of the record's publication time, in microseconds.
inline int64_t PublicationClockUs() {
#if defined(_WIN32)
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  const int64_t t = static_cast<int64_t>(c.QuadPart);
  return t / frequency * 1000000 + t % frequency * 1000000 / frequency;
#else
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
#endif
}

// What a read found out about the picture beyond its header.
struct FramePublication {
  bool has_record = false;   // false: an older plug-in, checked by its header only
  uint64_t sequence = 0;     // even; +2 per picture
  int64_t published_us = 0;  // on PublicationClockUs()
  uint32_t writer_id = 0;    // the plug-in's process id
};

enum class ReadResult {
  kGood,         // a whole picture, never a mix of two (without the record: see ReadWhole)
  kTorn,         // a new picture kept arriving during the copy, every try
  kUnavailable,  // no picture, or one whose writer stopped half way (stale for over 100 ms)
};

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

  // Copies the current picture and its header. True only for a good copy: header and picture
  // are then one picture's, and picture->size() == header->byte_count. False when the section
  // holds no valid picture, or when every try caught the next picture arriving (`torn` set);
  // *header and *picture are then left as they were, so the previous picture stays usable.
  bool Read(FrameHeader* header, std::vector<uint8_t>* picture, bool* torn = nullptr) {
    ReadResult r = ReadWhole(header, picture, nullptr);
    if (torn != nullptr) *torn = r == ReadResult::kTorn;
    return r == ReadResult::kGood;
  }

  // Tries this often before it calls a copy torn.
  static constexpr int kReadAttempts = 4;
  // A sequence odd for longer than this was left by a writer that stopped half way.
  static constexpr std::chrono::milliseconds kStaleAfter{100};

  // As above, and says what the record tells. Only kGood changes *header and *picture. With the
  // record a kGood copy is never mixed; without it (an older plug-in, info->has_record false)
  // kGood only means the header did not change across the copy: the pixels may still mix two
  // pictures, but the size always agrees with the header.
  //
  // The copy goes into a buffer of the reader's, swapped with *picture on kGood: a caller that
  // keeps passing the same vector costs no allocation once both have held the largest picture.
  ReadResult ReadWhole(FrameHeader* header, std::vector<uint8_t>* picture, FramePublication* info) {
    if (data_ == nullptr) return ReadResult::kUnavailable;
    const uint8_t* record = data_ + kFrameRecordOffset;
    const bool has_record =
        size_ >= kFrameRecordOffset + kFrameRecordSize &&
        RecordField<uint32_t>(record, kRecordMagic).load(std::memory_order_acquire) ==
            kFrameRecordMagic &&
        RecordField<uint32_t>(record, kRecordVersion).load(std::memory_order_relaxed) ==
            kFrameRecordVersion;
    if (info != nullptr) *info = FramePublication{};
    if (!has_record) return ReadByHeader(header, picture);
    auto&& sequence = RecordField<uint64_t>(record, kRecordSequence);
    auto&& writer = RecordField<uint32_t>(record, kRecordWriterId);
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
      uint64_t before = sequence.load(std::memory_order_acquire);
      if ((before & 1) != 0 && !WaitForEven(&before)) return ReadResult::kUnavailable;
      const uint32_t writer_before = writer.load(std::memory_order_relaxed);
      uint8_t head[kFrameHeaderSize];
      std::memcpy(head, data_, kFrameHeaderSize);
      const FrameHeader h = ParseFrameHeader(head);
      const bool valid = PlausibleHeader(h, kFrameRecordOffset - kFrameHeaderSize);
      if (valid) {
        scratch_.resize(h.byte_count);
        std::memcpy(scratch_.data(), data_ + kFrameHeaderSize, h.byte_count);
      }
      const int64_t published =
          RecordField<int64_t>(record, kRecordPublishedUs).load(std::memory_order_relaxed);
      RecordFence(std::memory_order_acquire);
      if (sequence.load(std::memory_order_relaxed) != before ||
          writer.load(std::memory_order_relaxed) != writer_before)
        continue;
      // A whole copy of a section that holds no picture yet.
      if (!valid) return ReadResult::kUnavailable;
      *header = h;
      picture->swap(scratch_);
      if (info != nullptr) {
        info->has_record = true;
        info->sequence = before;
        info->published_us = published;
        info->writer_id = writer_before;
      }
      return ReadResult::kGood;
    }
    return ReadResult::kTorn;
  }

  int error() const { return error_; }

 private:
  // A section without the record: a copy counts as good when the header (byte 0 aside, which
  // the plug-in never writes) is the same before and after it.
  ReadResult ReadByHeader(FrameHeader* header, std::vector<uint8_t>* picture) {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
      uint8_t head[kFrameHeaderSize];
      std::memcpy(head, data_, kFrameHeaderSize);
      const FrameHeader h = ParseFrameHeader(head);
      if (!PlausibleHeader(h, size_ - kFrameHeaderSize)) return ReadResult::kUnavailable;
      scratch_.resize(h.byte_count);
      std::memcpy(scratch_.data(), data_ + kFrameHeaderSize, h.byte_count);
      RecordFence(std::memory_order_acquire);
      if (std::memcmp(head + 1, data_ + 1, kFrameHeaderSize - 1) != 0) continue;
      *header = h;
      picture->swap(scratch_);
      return ReadResult::kGood;
    }
    return ReadResult::kTorn;
  }

  // A picture is being written: waits for the sequence to turn even, at most kStaleAfter. The
  // writer may start the next picture right after, so it is watched closely for a while before
  // the reader sleeps between looks.
  bool WaitForEven(uint64_t* sequence) {
    auto&& s = RecordField<uint64_t>(data_ + kFrameRecordOffset, kRecordSequence);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      *sequence = s.load(std::memory_order_acquire);
      if ((*sequence & 1) == 0) return true;
      const auto waited = std::chrono::steady_clock::now() - start;
      if (waited >= kStaleAfter) return false;
      if (waited < std::chrono::milliseconds(2))
        std::this_thread::yield();
      else
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

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
  // Where each copy lands until it is known to be good.
  std::vector<uint8_t> scratch_;
};

}  // namespace pellion
