// A small host for the logging tests: sets logging up as the channel does, then logs.
#include <glog/logging.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
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
  // --more: lines after --hold's wait. --twice: a second channel object sets up again, as the
  // channel does.
  const std::map<std::string, bool*> flags = {{"--segv", &segv},
                                              {"--glog-first", &glog_first},
                                              {"--hold", &hold},
                                              {"--errors", &errors},
                                              {"--twice", &twice}};
  const std::map<std::string, int*> numbers = {
      {"--keep", &keep}, {"--lines", &lines}, {"--more", &more}};
  const std::map<std::string, std::string*> texts = {
      {"--name", &name}, {"--logdir", &log_dir}, {"--backup", &backup}};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return std::string(i + 1 < argc ? argv[++i] : ""); };
    if (flags.count(a) != 0)
      *flags.at(a) = true;
    else if (numbers.count(a) != 0)
      *numbers.at(a) = std::atoi(next().c_str());
    else if (texts.count(a) != 0)
      *texts.at(a) = next();
    else if (a == "--quiet")
      to_stderr = false;
    else if (a == "--max-bytes")
      NORV::sLog::SetMaxLogBytesForTesting(std::strtoull(next().c_str(), nullptr, 10));
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
