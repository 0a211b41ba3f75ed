// The one set-up of the plug-in's logging on glog: where files go, how they are named, rotated
// and moved aside, the version lines, and the crash writer.
#pragma once

#include <cstdint>
#include <string>

namespace NORV::sLog {

// Switches of this layer, read from GLOG_encrypt and GLOG_log_backup_dir at start. Plain
// variables, not gflags flags: a host defining flags of the same names must not abort.
extern bool FLAGS_encrypt;
extern std::string FLAGS_log_backup_dir;

class LogInit {
 public:
  virtual ~LogInit() = default;

  // Sets up logging under `name` (the module's base name). Only the first call in the first
  // process that uses the name initialises glog, moves old files aside and writes the version
  // lines; other processes take the "already set up" path. Later calls in a process that set
  // logging up, and hosts that set up glog themselves, change nothing.
  void SetLogPrefix(bool also_to_stderr, const std::string& backup_dir, std::string name,
                    int keep_count, const std::string& log_dir);

  // The file now being written, empty when this process does not write one.
  std::string CurrentLogFile() const;
  bool set_up_fully() const { return full_; }

 private:
  bool full_ = false;
};

LogInit& GetLogInit();

// What the channel passes: the program-data root joined with "NORVApp", and the module's base
// name ("Pellion" for Pellion.so).
std::string ChannelLogDirectory();
std::string ChannelLogName();

// Tests only: the size at which files rotate (default 8 MB). Production never calls it.
void SetMaxLogBytesForTesting(uint64_t bytes);

}  // namespace NORV::sLog
