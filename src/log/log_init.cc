// LogInit::SetLogPrefix and the pieces it sets up.
#include "log/log_init.h"

#include <glog/logging.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "file/FileVersion.h"
#include "file/path.h"
#include "file/profile.h"
#include "log/log.h"
#include "log/log_file.h"
#include "platform/file.h"

namespace NORV::sLog {
namespace {

namespace fs = std::filesystem;

bool EncryptFromEnvironment() {
  const char* v = std::getenv("GLOG_encrypt");
  if (v == nullptr || *v == '\0') return true;
  return std::strchr("tTyY1", v[0]) != nullptr;
}

std::string BackupDirFromEnvironment() {
  const char* v = std::getenv("GLOG_log_backup_dir");
  return v != nullptr ? v : " ";
}

std::atomic<uint64_t> g_max_log_bytes{8u << 20};
RotatingLogFile* g_file = nullptr;  // owned by glog once handed over

std::string ExeDirectory() {
  return fs::path(sFileManager::ToNarrow(sFileManager::GetExeFilePath())).parent_path().string();
}

std::string ExeStem() {
  return fs::path(sFileManager::ToNarrow(sFileManager::GetExeFilePath())).stem().string();
}

// Moves each listed file into the backup folder, reporting each with wlogI; the file now in
// use is never moved. The lists are made before any of these lines is written.
void MoveLogs(const std::vector<std::string>& files, const std::string& backup) {
  std::string active = g_file != nullptr ? g_file->CurrentPath() : "";
  for (const std::string& f : files) {
    if (f == active) continue;
    int first = 0;
    std::string second;
    int last = MoveLogFile(f, backup, "_x", &first, &second);
    wlogI("LogInit::SetLogPrefix", "FILE:[%s],ret:[%d],lasterror:[%d]", f.c_str(),
          first == 0 ? 0 : -1, first);
    if (first != 0 && last != 0)
      wlogI("LogInit::SetLogPrefix", "OLD FILE:[%s] NEW FILE:[%s],ret:[%d],lasterror:[%d]",
            f.c_str(), second.c_str(), -1, last);
  }
}

void Prune(const std::string& backup, const std::string& name, int keep) {
  std::string active = g_file != nullptr ? g_file->CurrentPath() : "";
  for (const std::string& failure : PruneLogFiles(backup, name, keep, active)) LOGE << failure;
}

void WriteVersionLines() {
  std::string module = sFileManager::ToNarrow(sFileManager::GetModuleFilePath());
  LOGW << "[SDK Version]:"
       << "1.0.0.0";
  LOGW << "build date:" << __DATE__ << " " << __TIME__;
  for (const char* key : {"CompanyName", "ProductName", "OriginalFilename", "ProductVersion",
                          "LegalCopyright", "FileDescription", "FileVersion", "InternalName"}) {
    LOGW << key << ": " << sFileManager::sFileHelper::File::GetFileVerInfo(module, key);
  }
}

std::atomic<bool> g_in_failure_writer{false};

// Crash text from glog's signal handler: each piece as an ERROR line. A crash inside this very
// writer (or the logging below it) writes raw to stderr instead of going round again.
void FailureWriter(const char* data, size_t size) {
  if (g_in_failure_writer.exchange(true)) {
    (void)!::write(2, data, size);
    return;
  }
  std::string text(data, size);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  WriteLine(kError, __FILE__, __LINE__, "FailureWriter", text);
  g_in_failure_writer.store(false);
}

void SetFlags(bool also_to_stderr) {
  FLAGS_logbufsecs = 0;
  FLAGS_logtostderr = false;
  FLAGS_alsologtostderr = also_to_stderr;
  FLAGS_max_log_size = 8;
  FLAGS_stop_logging_if_full_disk = true;
  FLAGS_colorlogtostderr = true;
}

void ReadScrambleSwitchFromIni() {
  std::string ini = sFileManager::ProgramDataRoot() + "/NORVencrypt.ini";
  if (fs::exists(ini) && sFileManager::GetPrivateProfileInt("NORV", "ENCRYPT", 1, ini) == 0)
    FLAGS_encrypt = false;
}

void SetDestinations(bool also_to_stderr, const std::string& base) {
  google::SetStderrLogging(also_to_stderr ? google::GLOG_INFO : google::GLOG_WARNING);
  google::SetLogDestination(google::GLOG_INFO, base.c_str());
  // The INFO file holds every severity already. glog's own WARNING, ERROR and FATAL files
  // would land in the temporary folder, never pruned and never scrambled: an empty
  // destination turns them off.
  for (google::LogSeverity s : {google::GLOG_WARNING, google::GLOG_ERROR, google::GLOG_FATAL})
    google::SetLogDestination(s, "");
  google::SetLogFilenameExtension(".log");
  google::InstallFailureSignalHandler();
  google::InstallFailureWriter(&FailureWriter);
}

}  // namespace

bool FLAGS_encrypt = EncryptFromEnvironment();
std::string FLAGS_log_backup_dir = BackupDirFromEnvironment();

LogInit& GetLogInit() {
  static LogInit* instance = new LogInit;  // lives for the process, as log lines may
  return *instance;
}

void SetMaxLogBytesForTesting(uint64_t bytes) { g_max_log_bytes = bytes; }

std::string ChannelLogDirectory() { return sFileManager::ProgramDataRoot() + "/NORVApp"; }

std::string ChannelLogName() {
  return sFileManager::ModuleBaseName(sFileManager::ToNarrow(sFileManager::GetModuleFilePath()));
}

std::string LogInit::CurrentLogFile() const {
  return g_file != nullptr ? g_file->CurrentPath() : "";
}

void LogInit::SetLogPrefix(bool also_to_stderr, const std::string& backup_dir, std::string name,
                           int keep_count, const std::string& log_dir) {
  static std::mutex mu;
  std::lock_guard<std::mutex> lock(mu);
  if (name.empty()) name = ExeStem();
  const std::string exe_dir = ExeDirectory();
  // A relative folder is joined to the executable's folder as text: changing the current
  // directory would race every other thread.
  fs::path log_path = log_dir.empty() ? fs::path(exe_dir) : fs::path(log_dir);
  if (log_path.is_relative()) log_path = fs::path(exe_dir) / log_path;
  log_path = log_path.lexically_normal();
  std::error_code ec;
  fs::create_directories(log_path, ec);
  const std::string base = (log_path / name).string();

  // A host that set up glog itself keeps its files, flags and handlers untouched, and so does a
  // second channel object of this process: its set-up must not undo the first one's.
  if (google::IsGoogleLoggingInitialized()) return;

  if (!platform::AcquireProcessMarker(name)) {
    // Logging was set up under this name already, in another live process.
    SetFlags(also_to_stderr);
    ReadScrambleSwitchFromIni();
    FLAGS_log_backup_dir = backup_dir;
    if (g_file != nullptr) g_file->SetScramble(FLAGS_encrypt);
    SetDestinations(also_to_stderr, base);
    return;
  }

  SetFlags(also_to_stderr);
  FLAGS_log_backup_dir =
      backup_dir.empty() ? sFileManager::ProgramDataRoot() + "/norv_temp/log/" : backup_dir;
  fs::create_directories(FLAGS_log_backup_dir, ec);
  ReadScrambleSwitchFromIni();
  // Listed before the first line is written, so the new file is never among them.
  std::vector<std::string> beside_exe = ListOwnLogFiles(exe_dir, name);
  std::vector<std::string> in_log_path = ListOwnLogFiles(log_path.string(), name);
  if (fs::equivalent(exe_dir, log_path, ec)) in_log_path.clear();

  static std::string program_name;  // glog keeps the pointer
  program_name = name;
  google::InitGoogleLogging(program_name.c_str());
  SetDestinations(also_to_stderr, base);
  LogFileOptions options;
  options.base = base;
  options.scramble = FLAGS_encrypt;
  options.max_bytes = g_max_log_bytes.load();
  options.backup_dir = &FLAGS_log_backup_dir;
  options.timestamp_in_name = FLAGS_timestamp_in_logfile_name;
  options.name = name;
  options.keep_count = keep_count;
  g_file = new RotatingLogFile(options);
  google::base::SetLogger(google::GLOG_INFO, g_file);
  full_ = true;

  MoveLogs(beside_exe, FLAGS_log_backup_dir);
  MoveLogs(in_log_path, FLAGS_log_backup_dir);
  if (keep_count != 0) Prune(FLAGS_log_backup_dir, name, keep_count);
  WriteVersionLines();
}

}  // namespace NORV::sLog
