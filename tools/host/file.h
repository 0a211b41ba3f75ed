// An owned FILE*: closed on every path out, and the close's verdict kept for whoever asks.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace pellion_tools {

class File {
 public:
  File() = default;
  static File Open(const std::string& path, const char* mode) {
    return File(std::fopen(path.c_str(), mode), true);
  }
  // Standard output and the like: written through, never closed.
  static File Borrow(FILE* f) { return File(f, false); }
  File(File&& o) noexcept : f_(std::exchange(o.f_, nullptr)), owned_(o.owned_) {}
  File& operator=(File&& o) noexcept {
    if (this != &o) {
      Close();
      f_ = std::exchange(o.f_, nullptr);
      owned_ = o.owned_;
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }

  FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // False when buffered bytes did not reach the file.
  bool Close() {
    if (f_ == nullptr) return true;
    FILE* f = std::exchange(f_, nullptr);
    return owned_ ? std::fclose(f) == 0 : std::fflush(f) == 0;
  }

 private:
  File(FILE* f, bool owned) : f_(f), owned_(owned) {}
  FILE* f_ = nullptr;
  bool owned_ = true;
};

// "<tool>: cannot write <path>: <reason>", the reason from errno.
inline void SayCannotWrite(const char* tool, const std::string& path) {
  std::fprintf(stderr, "%s: cannot write %s: %s\n", tool, path.c_str(), std::strerror(errno));
}

}  // namespace pellion_tools
