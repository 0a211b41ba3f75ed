// What the mirroring tests share: scratch folders with blanks in their names, stand-in scripts
// placed where the code looks for adb and the mirroring tool, and the host's X window.
#pragma once

// gtest and our headers first: Xlib's None and Bool macros would break them.
#include <gtest/gtest.h>

#include "common/child_processes.h"
#include "common/wait.h"
#include "common/xvfb_env.h"
#include "file/path.h"
#include "log/log_capture.h"
#include "platform/event.h"
#include "platform/process.h"
#include "platform/window.h"
#include "subsystem/ProcessHelper.h"
// Xlib last.
#include "common/x_client.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace mirror_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string Quote(const fs::path& path) {
  return NORV::sSubSystem::ProcessHelper::ShellQuote(path.string());
}

// A scratch folder, removed afterwards. Its name holds a blank, as a user's folders may.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "pellion mirror XXXXXX").string();
    root_ = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  const fs::path& path() const { return root_; }

 private:
  fs::path root_;
};

inline void WriteScript(const fs::path& path, const std::string& body) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  chmod(path.c_str(), 0755);
}

inline void CopyProgram(const fs::path& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

inline std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The adb stand-in: fake_cmd printing `output`, recording its arguments in `record`.
inline void InstallAdb(const fs::path& host_dir, const fs::path& record,
                       const std::string& output) {
  WriteScript(host_dir / "scrcpy" / "adb", "exec " + Quote(FAKE_CMD_PATH) + " --record " +
                                               Quote(record) + " --out " + Quote(output) +
                                               " \"$@\"");
}

// The arguments adb got after the stand-in's own options.
inline std::vector<std::string> AdbArguments(const fs::path& record) {
  std::vector<std::string> args;
  for (const std::string& line : ReadLines(record))
    if (line.rfind("arg ", 0) == 0) args.push_back(line.substr(4));
  // fake_cmd --record FILE --out TEXT
  return args.size() < 5 ? std::vector<std::string>{}
                         : std::vector<std::string>(args.begin() + 5, args.end());
}

// The mirroring tool's stand-in, as a wrapper script like the real one: it counts its launches
// and execs (same pid) `program`, a copy of fake_window, with a window of the words searched for.
class ToolStandIn {
 public:
  ToolStandIn(const fs::path& module_dir, const fs::path& program, const std::string& extra = "")
      : argv_file_(program.parent_path() / "tool-argv"),
        launches_(program.parent_path() / "tool-launches") {
    CopyProgram(FAKE_WINDOW_PATH, program);
    WriteScript(module_dir / "scrcpy" / "scrcpy",
                "echo launched >> " + Quote(launches_) + "\nexec " + Quote(program) +
                    " --class SDL_app --title Vex_KVT300 --argv-file " + Quote(argv_file_) + " " +
                    extra + " \"$@\"");
  }
  // The arguments the tool got from the plug-in, without the wrapper's.
  std::vector<std::string> Arguments() const {
    std::vector<std::string> lines = ReadLines(argv_file_);
    // argv[0], --class SDL_app --title Vex_KVT300 --argv-file FILE
    return lines.size() < 7 ? std::vector<std::string>{}
                            : std::vector<std::string>(lines.begin() + 7, lines.end());
  }
  size_t launches() const { return ReadLines(launches_).size(); }

 private:
  fs::path argv_file_;
  fs::path launches_;
};

inline const std::vector<std::string> kToolArguments = {
    "--no-clean", "--force-adb-forward", "--tunnel-host=192.168.42.11", "--tunnel-port=16923"};

using testing_util::H;
using testing_util::ProcessGone;
using testing_util::ProcessReaped;
using testing_util::W;

inline pid_t Owner(HWND window) { return static_cast<pid_t>(platform::GetWindowProcessId(window)); }

// A mapped window of the host application (or of someone else, given other words).
inline Window HostWindow(testing_util::XClient& client, const std::string& class_name = "Host",
                         const std::string& title = "Host", long pid = 0) {
  return client.Create(class_name, class_name, title, true, pid);
}

// The notice a tool's end leaves in the host window's queue: (message, 1, 0) to `host`.
inline void ExpectEndNotice(testing_util::XClient& client, Window host, long message) {
  XClientMessageEvent event{};
  ASSERT_TRUE(client.NextClientMessage(&event));
  EXPECT_EQ(event.window, host);
  EXPECT_EQ(event.message_type, client.Intern("NORV_WINDOW_MESSAGE"));
  EXPECT_EQ(event.data.l[0], message);
  EXPECT_EQ(event.data.l[1], 1);
  EXPECT_EQ(event.data.l[2], 0);
}

}  // namespace mirror_test
