// Log files, no-replace moves, and the abstract-socket marker of "logging set up under NAME".
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/file.h"

namespace platform {

int CreateFileForLog(const std::string& path, unsigned mode, bool append_existing) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append_existing ? O_APPEND : O_EXCL);
  // The mode is meant exactly (0664), not as narrowed by the process's umask.
  int fd = open(path.c_str(), flags, mode);
  if (fd >= 0 && !append_existing) fchmod(fd, mode);
  return fd;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void CloseFile(int fd) {
  if (fd >= 0) close(fd);
}

namespace {

int CopyThenUnlink(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  struct stat st {};
  fstat(in, &st);
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    int err = errno;
    close(in);
    return err;
  }
  char buf[65536];
  int err = 0;
  for (;;) {
    ssize_t n = read(in, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    if (!WriteAll(out, buf, static_cast<size_t>(n))) {
      err = errno;
      break;
    }
  }
  close(in);
  if (close(out) != 0 && err == 0) err = errno;
  if (err != 0) {
    unlink(to.c_str());
    return err;
  }
  return unlink(from.c_str()) == 0 ? 0 : errno;
}

}  // namespace

int MoveFileNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  int err = errno;
  if (err == EXDEV) return CopyThenUnlink(from, to);
  if (err == EINVAL || err == ENOSYS) {
    // A file system without RENAME_NOREPLACE: a hard link never replaces either.
    if (link(from.c_str(), to.c_str()) != 0) return errno;
    unlink(from.c_str());
    return 0;
  }
  return err;
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

std::string HostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof(buf) - 1) != 0 || buf[0] == '\0') return "(unknown)";
  return buf;
}

int64_t WallClockMicros() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t BootTimeSeconds() {
  timespec boot{};
  clock_gettime(CLOCK_BOOTTIME, &boot);
  return WallClockMicros() / 1000000 - boot.tv_sec;
}

uint32_t UserId() { return static_cast<uint32_t>(getuid()); }

bool AcquireProcessMarker(const std::string& name) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string id = "norv-log:" + std::to_string(UserId()) + ":" + name;
  // Abstract namespace: a leading NUL, no file, gone with the process.
  size_t len = std::min(id.size(), sizeof(addr.sun_path) - 1);
  std::memcpy(addr.sun_path + 1, id.data(), len);
  socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0) {
    close(fd);
    return false;
  }
  // Kept open for the life of the process on purpose.
  return true;
}

}  // namespace platform
