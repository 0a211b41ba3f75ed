// What the mirroring tests share: scratch folders with blanks in their names, stand-in scripts
// placed where the code looks for adb and the mirroring tool, and an X client as the host.
#pragma once

// gtest and our headers first: Xlib's None and Bool macros would break them.
#include <gtest/gtest.h>

#include "common/wait.h"
#include "common/xvfb_env.h"
#include "file/path.h"
#include "log/log_capture.h"
#include "platform/event.h"
#include "platform/process.h"
#include "platform/window.h"
#include "subsystem/ProcessHelper.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
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

inline HWND H(Window w) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(w)); }
inline Window W(HWND h) { return static_cast<Window>(reinterpret_cast<uintptr_t>(h)); }

// The test's own X client, standing for the host application and its window.
class HostClient {
 public:
  HostClient() : display_(XOpenDisplay(nullptr)) {}
  ~HostClient() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  Display* display() const { return display_; }

  Window CreateWindow(const std::string& class_name = "Host", const std::string& title = "Host",
                      long pid = 0) {
    Window w = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 320, 240, 0, 0, 0);
    XClassHint hint{const_cast<char*>(class_name.c_str()), const_cast<char*>(class_name.c_str())};
    XSetClassHint(display_, w, &hint);
    XChangeProperty(display_, w, XInternAtom(display_, "_NET_WM_NAME", False),
                    XInternAtom(display_, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
    if (pid != 0)
      XChangeProperty(display_, w, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL, 32,
                      PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    XMapWindow(display_, w);
    XSync(display_, False);
    return w;
  }
  Window Parent(HWND child) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display_, W(child), &root, &parent, &children, &count);
    if (children != nullptr) XFree(children);
    return parent;
  }
  XWindowAttributes Attributes(HWND window) {
    XWindowAttributes a{};
    XGetWindowAttributes(display_, W(window), &a);
    return a;
  }
  pid_t Owner(HWND window) { return static_cast<pid_t>(platform::GetWindowProcessId(window)); }
  // The next ClientMessage to this client within `timeout`. A zero timeout still sees every
  // event the server sent before this call (XSync is a round trip).
  bool NextClientMessage(XClientMessageEvent* out, std::chrono::milliseconds timeout = 10s) {
    XSync(display_, False);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == ClientMessage) {
          *out = event.xclient;
          return true;
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{ConnectionNumber(display_), POLLIN, 0};
      poll(&p, 1, static_cast<int>(left.count()));
    }
  }

 private:
  Display* display_;
};

// No such process any more, or only its zombie (an orphan whose reaper has not come yet).
inline bool ProcessGone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] == 'Z';
}

// Our own child, killed and reaped: nothing of it is left in /proc.
inline bool ProcessReaped(pid_t pid) { return !fs::exists("/proc/" + std::to_string(pid)); }

}  // namespace mirror_test
