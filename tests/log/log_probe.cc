// A small host for the logging tests: sets logging up as the channel does, then logs.
#include <glog/logging.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "log/log.h"
#include "log/log_init.h"

namespace {

struct ProbeClass {
  void Emit(int i) { LOGI << "line " << i; }
};

}  // namespace

int main(int argc, char** argv) {
  std::string name = "PellionProbe", log_dir, backup;
  int keep = 5, lines = 1;
  int more = 0;
  bool to_stderr = true, segv = false, glog_first = false, hold = false, errors = false;
  bool twice = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return std::string(i + 1 < argc ? argv[++i] : ""); };
    if (a == "--name")
      name = next();
    else if (a == "--logdir")
      log_dir = next();
    else if (a == "--backup")
      backup = next();
    else if (a == "--keep")
      keep = std::atoi(next().c_str());
    else if (a == "--lines")
      lines = std::atoi(next().c_str());
    else if (a == "--quiet")
      to_stderr = false;
    else if (a == "--max-bytes")
      NORV::sLog::SetMaxLogBytesForTesting(std::strtoull(next().c_str(), nullptr, 10));
    else if (a == "--segv")
      segv = true;
    else if (a == "--glog-first")
      glog_first = true;
    else if (a == "--hold")
      hold = true;
    else if (a == "--more")  // lines after --hold's wait
      more = std::atoi(next().c_str());
    else if (a == "--errors")
      errors = true;
    else if (a == "--twice")  // a second channel object sets up again, as the channel does
      twice = true;
  }
  if (glog_first) {
    // A host that uses glog itself, with its own folder.
    FLAGS_log_dir = std::getenv("HOST_LOG_DIR");
    google::InitGoogleLogging("host");
    LOG(INFO) << "host line before";
  }
  NORV::sLog::GetLogInit().SetLogPrefix(to_stderr, backup, name, keep, log_dir);
  if (twice) NORV::sLog::GetLogInit().SetLogPrefix(to_stderr, "", name, keep, log_dir);
  ProbeClass probe;
  for (int i = 0; i < lines; ++i) probe.Emit(i);
  if (errors) {
    LOGW << "probe warning";
    LOGE << "probe error";
  }
  if (glog_first) LOG(INFO) << "host line after";
  std::printf("FILE:%s\n", NORV::sLog::GetLogInit().CurrentLogFile().c_str());
  std::fflush(stdout);
  // Raised rather than a null store, which the undefined-behaviour checker would catch first.
  if (segv) std::raise(SIGSEGV);
  if (hold) {
    std::string s;
    std::getline(std::cin, s);
    for (int i = 0; i < more; ++i) probe.Emit(lines + i);
  }
  return 0;
}
