// AdbScrcpy: the phone-screen mirror. Connects adb to the phone, launches the mirroring tool,
// finds its window, embeds it in a host window, and tells that window when the tool ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AdbConnector.h"
#include "NKMsgFrameThread.h"
#include "ScrcpyProcessMonitorThread.h"
#include "platform/process.h"
#include "platform/types.h"
#include "subsystem/ProcessHandle.h"

class AdbScrcpy : private NKMsgFrameThread {
 public:
  // The fixed values; tests shorten the search and point the folders elsewhere.
  struct Options {
    std::string phone_address = "192.168.42.11";
    int tunnel_port = 16923;
    // Two blanks before the second option, as the tool has always been started.
#ifdef _WIN32
    std::string command_format =
        "scrcpy\\scrcpy.exe --no-clean --force-adb-forward --tunnel-host=%s  --tunnel-port=%d";
    std::string leftover_name = "scrcpy.exe";
#else
    std::string command_format =
        "scrcpy/scrcpy --no-clean --force-adb-forward --tunnel-host=%s  --tunnel-port=%d";
    std::string leftover_name = "scrcpy";
#endif
    std::vector<std::string> class_words{"SDL_app"};
    std::vector<std::string> title_words{"Vex_KVT300"};
    int search_tries = 3;
    int64_t search_pause_ms = 1000;
    int64_t stop_timeout_ms = 1000;
    int64_t adb_timeout_ms = AdbConnector::kDefaultTimeoutMs;
    // Stand-ins for this module's and the host executable's paths (empty: the real ones).
    std::wstring module_path;
    std::wstring exe_path;
  };

  // WM_SCRCPY_PROC (WM_APP + 100): the monitor's messages to the worker.
  static constexpr uint32_t kScrcpyProcMessage = 0x8064;
  // WM_USER: smaller host message numbers are never posted.
  static constexpr uint32_t kMinParentMessage = 0x400;

  AdbScrcpy();
  explicit AdbScrcpy(Options options);
  // Stops the monitor and the worker; leaves the tool running.
  ~AdbScrcpy() override;

  // The process's one controller, made on first use.
  static std::shared_ptr<AdbScrcpy> GetInstance();

  // Any host thread; blocks for adb and the window search. The embedded mirror window, hidden,
  // or null. While an earlier mirror still stands it is returned and nothing else happens.
  HWND Start(HWND parent, uint32_t parent_msg);
  // Any host thread. Cancels a Start in progress (it kills what it launched, adb included, and
  // returns null) and returns once it has given up; kills the launched tool and stops the
  // monitor and the worker.
  void Stop();
  // Any host thread; never waits for a Start. Shows or hides the window of a completed Start.
  void Show(bool visible);
  // Host thread; a Stop kills a running adb.
  bool ConnectAdb();

  // Worker thread: the monitor's found (wParam 1, lParam pid) and ended (0, 0) messages.
  bool OnProcStartKill(platform::WPARAM wParam, platform::LPARAM lParam);

  // Makes `child` an undecorated child of `parent` filling its inside, and leaves it hidden.
  static bool SetTopLevelAsChild(HWND child, HWND parent);

  // The worker's thread id, 0 while it does not run.
  using NKMsgFrameThread::thread_id;

 private:
  // Null as well when a Stop cancelled the search.
  HWND FindScrcpyWindow(platform::DWORD pid);
  // The stored window still stands for the tool we launched.
  bool MirrorStands();
  bool Cancelled() { return cancel_.Wait(0) == platform::kWaitObject0; }
  // Kills the tool we launched, if any, and forgets it.
  void KillLaunched();

  const Options options_;
  // Written by Start, read on the worker, which a later Start may find running.
  std::atomic<HWND> hParent_{nullptr};
  std::atomic<uint32_t> parentMsg_{0};
  // Start and Stop one at a time; Stop sets cancel_ before it waits for the lock.
  std::mutex start_mu_;
  platform::CancelToken cancel_;
  // Under start_mu_.
  HWND hScrcpy_ = nullptr;
  // The window of the last completed Start, for Show.
  std::atomic<HWND> shown_window_{nullptr};
  // Cleared by the worker when the tool ended, by Stop when it kills it.
  std::atomic<platform::DWORD> pid_{0};
  // The launched tool: kills reach that process even after its pid is reused.
  NORV::sSubSystem::ProcessHandle process_;
  // Worker thread only: the pid of the last found message.
  platform::DWORD watched_pid_ = 0;
  ScrcpyProcessMonitorThread monitor_;
};
