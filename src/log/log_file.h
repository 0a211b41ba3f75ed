// The file logger behind glog's INFO destination: file naming, header lines, rotation with a
// move to the backup folder, and scrambling.
#pragma once

#include <glog/logging.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace NORV::sLog {

struct LogFileOptions {
  std::string base;  // folder + name; files are base_YYYY-MM-DD_HH-MM-SS-mmm.log
  bool scramble = true;
  uint64_t max_bytes = 8u << 20;
  // Folder that receives rotated files; " " or empty means none. Read at each rotation.
  const std::string* backup_dir = nullptr;
  bool timestamp_in_name = true;
  // The program's name, and how many of its files the backup folder keeps after each rotation
  // (0 or less: all).
  std::string name;
  int keep_count = 0;
};

class RotatingLogFile : public google::base::Logger {
 public:
  explicit RotatingLogFile(LogFileOptions options);
  ~RotatingLogFile() override;

  // Any thread; glog serialises per destination, the lock guards our own callers too.
  void Write(bool force_flush, time_t timestamp, const char* message, size_t length) override;
  void Flush() override {}
  google::uint32 LogSize() override;

  // The file now being written, empty before the first line.
  std::string CurrentPath();
  void SetScramble(bool on);

 private:
  bool OpenLocked();
  void CloseAndMoveLocked();
  void WriteLocked(std::string text);

  std::mutex mu_;
  LogFileOptions options_;
  int fd_ = -1;
  std::string path_;
  uint64_t size_ = 0;
  uint32_t pid_ = 0;
  uint32_t failed_writes_ = 0;
  std::string last_stamp_;  // of the last file opened, and how many shared it
  int same_stamp_ = 1;
};

// Moves `path` into `folder` under its own name, or, when that name is taken, under its stem
// followed by `suffix` and ".log". Returns 0 or the errno of the last attempt; `first_result`
// receives the errno of the first attempt.
int MoveLogFile(const std::string& path, const std::string& folder, const std::string& suffix,
                int* first_result = nullptr, std::string* second_target = nullptr);

// Only `name`'s own files in `folder`, "name.log" and "name_*.log" (not another program's of the
// same prefix, "nameSvc_..."), oldest first: by name, runs of digits compared as numbers, so
// that "_10" (the tenth file of one millisecond) comes after "_9".
std::vector<std::string> ListOwnLogFiles(const std::string& folder, const std::string& name);

// Deletes all but the newest `keep` of `name`'s own files in `folder` (none when keep <= 0),
// never `active`. Returns a line for each file that could not be deleted: the caller decides
// where it can be said (inside a rotation glog's own lock is held).
std::vector<std::string> PruneLogFiles(const std::string& folder, const std::string& name, int keep,
                                       const std::string& active);

}  // namespace NORV::sLog
