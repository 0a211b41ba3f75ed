// Named shared-memory sections (POSIX shm, Win32 file mappings), shared with other processes by
// name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class SharedSection {
 public:
  SharedSection() = default;
  ~SharedSection() { Close(); }
  SharedSection(const SharedSection&) = delete;
  SharedSection& operator=(const SharedSection&) = delete;

  // Creates the section or opens an existing one; one smaller than `size` is grown to it,
  // never shrunk. False with errno in error() on failure.
  bool Create(const std::string& name, size_t size);
  // Opens an existing section (read-only or read-write) with the size it has.
  bool Open(const std::string& name, bool writable);
  void Close();

  bool valid() const { return fd_ >= 0; }
  // The section's real size, as the system reports it now.
  size_t size() const;
  int fd() const { return fd_; }
  int error() const { return error_; }

#ifdef _WIN32
  static std::string SystemName(const std::string& name) { return name; }
#else
  static std::string SystemName(const std::string& name) { return "/" + name; }
#endif
  static bool Unlink(const std::string& name);

 private:
  int fd_ = -1;
  int error_ = 0;
#ifdef _WIN32
  size_t size_ = 0;  // a Win32 section never changes its size
#endif
};

// A mapping of a whole section; unmapped when released.
class SectionMapping {
 public:
  SectionMapping() = default;
  ~SectionMapping() { Unmap(); }
  SectionMapping(const SectionMapping&) = delete;
  SectionMapping& operator=(const SectionMapping&) = delete;

  // Maps the section's whole current size. False with errno in error().
  bool Map(const SharedSection& section, bool writable);
  void Unmap();
  // Brings every page of a writable mapping in without writing a byte: another process may
  // already be reading the section.
  void Prefault();

  uint8_t* data() const { return static_cast<uint8_t*>(data_); }
  size_t size() const { return size_; }
  int error() const { return error_; }

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
  int error_ = 0;
};

}  // namespace platform
