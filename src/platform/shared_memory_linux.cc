// Sections on shm_open/mmap, mode 0600, grown with ftruncate and bounded by fstat.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/shared_memory.h"

namespace platform {

bool SharedSection::Create(const std::string& name, size_t size) {
  Close();
  int fd = shm_open(SystemName(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error_ = errno;
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 ||
      (static_cast<size_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0)) {
    error_ = errno;
    close(fd);
    return false;
  }
  fd_ = fd;
  error_ = 0;
  return true;
}

bool SharedSection::Open(const std::string& name, bool writable) {
  Close();
  int fd = shm_open(SystemName(name).c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
  if (fd < 0) {
    error_ = errno;
    return false;
  }
  fd_ = fd;
  error_ = 0;
  return true;
}

void SharedSection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

size_t SharedSection::size() const {
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0) return 0;
  return static_cast<size_t>(st.st_size);
}

bool SharedSection::Unlink(const std::string& name) {
  return shm_unlink(SystemName(name).c_str()) == 0;
}

bool SectionMapping::Map(const SharedSection& section, bool writable) {
  Unmap();
  if (!section.valid()) {
    error_ = EBADF;
    return false;
  }
  size_t size = section.size();
  if (size == 0) {
    error_ = EINVAL;
    return false;
  }
  void* p = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                 section.fd(), 0);
  if (p == MAP_FAILED) {
    error_ = errno;
    return false;
  }
  data_ = p;
  size_ = size;
  error_ = 0;
  return true;
}

void SectionMapping::Prefault() {
  if (data_ == nullptr) return;
#ifdef MADV_POPULATE_WRITE
  if (madvise(data_, size_, MADV_POPULATE_WRITE) == 0) return;
#endif
  // Older kernels: a read fault maps a shared memory page writable all the same.
  const volatile uint8_t* p = static_cast<const uint8_t*>(data_);
  for (size_t off = 0; off < size_; off += 4096) (void)p[off];
}

void SectionMapping::Unmap() {
  if (data_ != nullptr) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace platform
