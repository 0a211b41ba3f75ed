// RotatingLogFile: one file at a time, created exclusively, rotated at its size limit.
#include "log/log_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "log/scramble.h"
#include "platform/file.h"

namespace NORV::sLog {
namespace {

std::string FileTimestamp() {
  int64_t us = platform::WallClockMicros();
  time_t secs = static_cast<time_t>(us / 1000000);
  tm t{};
  localtime_r(&secs, &t);
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d_%02d-%02d-%02d-%03d", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<int>((us / 1000) % 1000));
  return buf;
}

std::string HeaderLines(time_t first_message) {
  tm t{};
  localtime_r(&first_message, &t);
  char created[64];
  std::strftime(created, sizeof(created), "%Y/%m/%d %H:%M:%S", &t);
  // Bias as Windows counts it: minutes to add to local time to get UTC.
#ifdef _WIN32
  // No tm_gmtoff: the offset is what local time makes of the same instant taken as UTC.
  tm utc{};
  gmtime_r(&first_message, &utc);
  utc.tm_isdst = t.tm_isdst;
  long bias = static_cast<long>(std::difftime(std::mktime(&utc), first_message)) / 60;
#else
  long bias = -t.tm_gmtoff / 60;
#endif
  time_t boot = static_cast<time_t>(platform::BootTimeSeconds());
  tm b{};
  localtime_r(&boot, &b);
  char uptime[64];
  std::strftime(uptime, sizeof(uptime), "%Y-%m-%d %H:%M:%S ", &b);
  return std::string("Log file created at: ") + created + ":Time Bias:" + std::to_string(bias) +
         "\n" + "Running on machine: " + platform::HostName() +
         " PID:" + std::to_string(platform::ProcessId()) + " UpTime:" + uptime + "\n" +
         "Log line format: [IWEF] [mm-dd hh:mm:ss.uuuuuu] " + "[thread_id] [class::function] msg\n";
}

bool HasBackupDir(const std::string* dir) { return dir != nullptr && !dir->empty() && *dir != " "; }

bool IsOwnLogFile(const std::string& file, const std::string& name) {
  if (file.empty() || file[0] == '.' || file.size() < 4 ||
      file.compare(file.size() - 4, 4, ".log") != 0)
    return false;
  if (file == name + ".log") return true;
  return file.size() > name.size() + 5 && file.compare(0, name.size() + 1, name + "_") == 0;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Text order, but a run of digits against a run of digits by value (then by length).
bool NameBefore(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && IsDigit(a[ei])) ++ei;
      while (ej < b.size() && IsDigit(b[ej])) ++ej;
      size_t zi = i, zj = j;
      while (zi + 1 < ei && a[zi] == '0') ++zi;
      while (zj + 1 < ej && b[zj] == '0') ++zj;
      if (ei - zi != ej - zj) return ei - zi < ej - zj;
      int c = a.compare(zi, ei - zi, b, zj, ej - zj);
      if (c != 0) return c < 0;
      if (ei - i != ej - j) return ei - i < ej - j;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

std::vector<std::string> ListOwnLogFiles(const std::string& folder, const std::string& name) {
  namespace fs = std::filesystem;
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ec2;
    if (!it->is_regular_file(ec2)) continue;
    if (IsOwnLogFile(it->path().filename().string(), name)) out.push_back(it->path().string());
  }
  std::sort(out.begin(), out.end(), NameBefore);
  return out;
}

std::vector<std::string> PruneLogFiles(const std::string& folder, const std::string& name, int keep,
                                       const std::string& active) {
  std::vector<std::string> failures;
  if (keep <= 0) return failures;
  std::vector<std::string> files = ListOwnLogFiles(folder, name);
  files.erase(std::remove(files.begin(), files.end(), active), files.end());
  // Each file leaves the list whether or not it could be deleted, so this always ends.
  const size_t excess = files.size() > static_cast<size_t>(keep) ? files.size() - keep : 0;
  for (size_t i = 0; i < excess; ++i) {
    std::error_code ec;
    if (!std::filesystem::remove(files[i], ec) || ec)
      failures.push_back("delete " + files[i] +
                         " failed: " + (ec ? ec.message() : std::string("not found")));
  }
  return failures;
}

int MoveLogFile(const std::string& path, const std::string& folder, const std::string& suffix,
                int* first_result, std::string* second_target) {
  namespace fs = std::filesystem;
  fs::path from(path);
  std::string target = (fs::path(folder) / from.filename()).string();
  int err = platform::MoveFileNoReplace(path, target);
  if (first_result != nullptr) *first_result = err;
  if (err == 0) return 0;
  std::string second = (fs::path(folder) / (from.stem().string() + suffix + ".log")).string();
  if (second_target != nullptr) *second_target = second;
  return platform::MoveFileNoReplace(path, second);
}

RotatingLogFile::RotatingLogFile(LogFileOptions options) : options_(std::move(options)) {}

RotatingLogFile::~RotatingLogFile() { platform::CloseFile(fd_); }

google::uint32 RotatingLogFile::LogSize() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<google::uint32>(size_);
}

std::string RotatingLogFile::CurrentPath() {
  std::lock_guard<std::mutex> lock(mu_);
  return path_;
}

void RotatingLogFile::SetScramble(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  options_.scramble = on;
}

bool RotatingLogFile::OpenLocked() {
  // After a failure only every 32nd write tries again, so a full disk costs little.
  if (failed_writes_ > 0 && (++failed_writes_ % 32) != 0) return false;
  // Strings are appended, not "_" + ...: g++ 12 at -O3 warns wrongly about that (-Wrestrict).
  std::string stamp;
  if (options_.timestamp_in_name) stamp.append("_").append(FileTimestamp());
  // Files that fill within one millisecond share a timestamp: a numbered name keeps each one,
  // both here (an exclusive create would fail and drop lines until the clock moved on) and in
  // the backup folder (whose move would otherwise find both names taken).
  same_stamp_ = options_.timestamp_in_name && stamp == last_stamp_ ? same_stamp_ + 1 : 1;
  auto name = [&] {
    std::string n = options_.base + stamp;
    if (same_stamp_ > 1) n.append("_").append(std::to_string(same_stamp_));
    return n + ".log";
  };
  std::string path = name();
  int fd = platform::CreateFileForLog(path, 0664, !options_.timestamp_in_name);
  while (fd < 0 && errno == EEXIST && options_.timestamp_in_name && same_stamp_ < 100) {
    ++same_stamp_;
    path = name();
    fd = platform::CreateFileForLog(path, 0664, false);
  }
  last_stamp_ = stamp;
  if (fd < 0) {
    if (failed_writes_ == 0) failed_writes_ = 1;
    std::fprintf(stderr, "COULD NOT CREATE LOGFILE '%s'!\n", path.c_str());
    return false;
  }
  failed_writes_ = 0;
  fd_ = fd;
  path_ = path;
  size_ = 0;
  pid_ = platform::ProcessId();
  WriteLocked(HeaderLines(std::time(nullptr)));
  return true;
}

void RotatingLogFile::CloseAndMoveLocked() {
  platform::CloseFile(fd_);
  fd_ = -1;
  const std::string* backup = options_.backup_dir;
  if (HasBackupDir(backup)) {
    std::error_code ec;
    std::filesystem::create_directories(*backup, ec);
    if (std::filesystem::is_directory(*backup, ec)) {
      MoveLogFile(path_, *backup, "1");
      // glog's lock is held here: a failure cannot go through a log line.
      for (const std::string& failure :
           PruneLogFiles(*backup, options_.name, options_.keep_count, ""))
        std::fprintf(stderr, "%s\n", failure.c_str());
    }
  }
  path_.clear();
  size_ = 0;
}

void RotatingLogFile::WriteLocked(std::string text) {
  if (options_.scramble) ScrambleInPlace(text.data(), text.size());
  if (platform::WriteAll(fd_, text.data(), text.size())) size_ += text.size();
}

void RotatingLogFile::Write(bool, time_t, const char* message, size_t length) {
  std::lock_guard<std::mutex> lock(mu_);
  // A forked child must not write into its parent's file.
  if (fd_ >= 0 && pid_ != platform::ProcessId()) {
    platform::CloseFile(fd_);
    fd_ = -1;
    path_.clear();
  }
  if (fd_ < 0 && !OpenLocked()) return;
  WriteLocked(std::string(message, length));
  if (size_ >= options_.max_bytes) CloseAndMoveLocked();
}

}  // namespace NORV::sLog
