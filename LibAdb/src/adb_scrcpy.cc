// The mirroring controller: launch, window search, embedding, and the end notice to the host.
#include "adb_scrcpy.h"

#include <cstdio>
#include <mutex>

#include "command_path.h"
#include "file/path.h"
#include "log/log.h"
#include "platform/process.h"
#include "platform/window.h"
#include "subsystem/ProcessHelper.h"

using NORV::sLog::Bool;
using NORV::sSubSystem::ProcessHelper;

namespace {

// File-scope, hence made when the module loads and destroyed after the channel object (whose
// holder is a function-local static made later), which forwards to this one until it goes.
std::shared_ptr<AdbScrcpy> g_instance;
std::once_flag g_once;

// `command` with its program (the first word) made absolute beside `base_path` and quoted as
// one argument by the command-line rules (no shell reads it), so that a folder with blanks
// stays one.
std::string AbsoluteCommandLine(const std::wstring& base_path, const std::string& command) {
  std::string rest;
  return ProcessHelper::QuoteProgram(adb_command::ProgramBeside(base_path, command, &rest)) + rest;
}

const void* AsPointer(HWND hwnd) { return static_cast<const void*>(hwnd); }

}  // namespace

AdbScrcpy::AdbScrcpy() : AdbScrcpy(Options{}) {}

AdbScrcpy::AdbScrcpy(Options options)
    : NKMsgFrameThread("AdbScrcpyThread"), options_(std::move(options)) {
  // Before the worker ever runs, so that no message of the monitor finds the table empty.
  RegisterMsgHandler(kScrcpyProcMessage, this, &AdbScrcpy::OnProcStartKill);
}

AdbScrcpy::~AdbScrcpy() {
  // The monitor first, so that nothing more is posted; then the worker, whose handler reads
  // members that are about to go.
  monitor_.Stop();
  FrameworkThread::Stop();
}

std::shared_ptr<AdbScrcpy> AdbScrcpy::GetInstance() {
  std::call_once(g_once, [] { g_instance = std::make_shared<AdbScrcpy>(); });
  return g_instance;
}

HWND AdbScrcpy::Start(HWND parent, uint32_t parent_msg) {
  std::lock_guard<std::mutex> lock(start_mu_);
  if (Cancelled()) return nullptr;
  if (hScrcpy_ != nullptr) {
    if (MirrorStands()) return hScrcpy_;
    // The tool ended or its window went: start over.
    hScrcpy_ = nullptr;
    shown_window_.store(nullptr);
  }
  if (!ConnectAdb() || Cancelled()) return nullptr;
  hParent_.store(parent);
  parentMsg_.store(parent_msg);

  char formatted[512];
  std::snprintf(formatted, sizeof(formatted), options_.command_format.c_str(),
                options_.phone_address.c_str(), options_.tunnel_port);
  std::string command = AbsoluteCommandLine(
      options_.module_path.empty() ? NORV::sFileManager::GetModuleFilePath() : options_.module_path,
      formatted);

  // An earlier watch, ended or not, must not report the end of the tools killed below.
  monitor_.Stop();
  // Our own earlier launch goes whatever its name; then anyone else's leftovers.
  KillLaunched();
  ProcessHelper::KillProcessByName(options_.leftover_name.c_str());
  NORV::sSubSystem::ProcessInformation info;
  platform::DWORD pid =
      ProcessHelper::CreateProcessW(nullptr, command.c_str(), 0, false, nullptr, &info, nullptr);
  if (pid == 0) {
    LOGE << "[SDK] "
         << "create scrcpt hwnd fail:" << ProcessHelper::GetLastErrorText();
    return nullptr;
  }
  process_ = std::move(info.process);
  pid_.store(pid);

  HWND found = FindScrcpyWindow(pid);
  if (Cancelled()) {
    KillLaunched();
    return nullptr;
  }
  if (found == nullptr) {
    // A tool that is still running stays; one that already ended is reaped, not left a zombie.
    if (process_.Wait(0) == platform::kWaitObject0) {
      process_.Close();
      pid_.store(0);
    }
    return nullptr;
  }
  hScrcpy_ = found;

  if (parent != nullptr && platform::IsWindow(parent)) {
    bool embedded = SetTopLevelAsChild(hScrcpy_, parent);
    LOGI << "SetTopLevelAsChild " << Bool(embedded) << " hParent_:" << AsPointer(parent)
         << " hScrcpy_:" << AsPointer(hScrcpy_);
  }
  if (Cancelled()) {
    KillLaunched();
    hScrcpy_ = nullptr;
    return nullptr;
  }
  // A worker left running by an earlier mirror serves this one too.
  if (!IsRunning() && !NKMsgFrameThread::Start()) LOGE << "create AdbScrcpy thread fail";
  if (!monitor_.Start(pid, thread_id(), kScrcpyProcMessage))
    LOGE << "create monitorPid thread fail";
  shown_window_.store(hScrcpy_);
  return hScrcpy_;
}

void AdbScrcpy::KillLaunched() {
  process_.KillAndWait();
  process_.Close();
  pid_.store(0);
}

HWND AdbScrcpy::FindScrcpyWindow(platform::DWORD pid) {
  for (int attempt = 0; attempt < options_.search_tries; ++attempt) {
    // The pause is where a Stop finds the search.
    if (cancel_.Wait(options_.search_pause_ms) != platform::kWaitTimeout) return nullptr;
    for (HWND hwnd :
         ProcessHelper::FindWindowsByClassAndTitle(options_.class_words, options_.title_words)) {
      // Another program's window with the same words is never taken.
      if (platform::GetWindowProcessId(hwnd) == pid) return hwnd;
    }
  }
  return nullptr;
}

bool AdbScrcpy::MirrorStands() {
  return platform::IsWindow(hScrcpy_) && pid_.load() != 0 &&
         process_.Wait(0) == platform::kWaitTimeout;
}

void AdbScrcpy::Stop() {
  // Set before the lock, so that a Start in progress gives up rather than finish first.
  cancel_.Cancel();
  std::lock_guard<std::mutex> lock(start_mu_);
  cancel_.Reset();
  shown_window_.store(nullptr);
  // Only the process we launched, through its handle: a pid of a tool that ended may by now
  // belong to anyone.
  if (pid_.exchange(0) != 0) process_.KillAndWait();
  process_.Close();
  monitor_.Stop();
  NKMsgFrameThread::Stop(options_.stop_timeout_ms);
  hScrcpy_ = nullptr;
}

void AdbScrcpy::Show(bool visible) {
  HWND window = shown_window_.load();
  bool shown = false;
  if (window != nullptr && platform::IsWindow(window)) {
    platform::ShowWindow(window, visible ? platform::kSwShow : platform::kSwHide);
    platform::UpdateWindow(window);
    shown = true;
  }
  LOGI << "Show HWND " << AsPointer(window) << " visible:" << Bool(visible)
       << " ret:" << Bool(shown);
}

bool AdbScrcpy::ConnectAdb() {
  AdbConnector connector(options_.adb_timeout_ms, options_.exe_path, &cancel_);
  bool connected = connector.Connect(options_.phone_address);
  LOGI << "connect adb " << (connected ? 1 : 0);
  return connected;
}

bool AdbScrcpy::OnProcStartKill(platform::WPARAM wParam, platform::LPARAM lParam) {
  LOGI << "PID:" << static_cast<uint32_t>(lParam) << " w:" << wParam;
  if (static_cast<uint32_t>(wParam) != 0) {
    watched_pid_ = static_cast<platform::DWORD>(lParam);
    return true;
  }
  // Messages arrive in order, so this end belongs to the last found pid; a newer launch has
  // its own pid in pid_ and keeps it.
  platform::DWORD ended = watched_pid_;
  watched_pid_ = 0;
  if (ended != 0) pid_.compare_exchange_strong(ended, 0);

  HWND parent = hParent_.load();
  uint32_t message = parentMsg_.load();
  if (parent == nullptr || message < kMinParentMessage) return true;
  bool posted = platform::PostMessage(parent, message, 1, lParam);
  LOGI << "post killed to scrcpy parent:" << AsPointer(parent) << "-" << Bool(posted)
       << " w:" << wParam << " l:" << lParam;
  return true;
}

bool AdbScrcpy::SetTopLevelAsChild(HWND child, HWND parent) {
  if (child == nullptr || parent == nullptr) return false;
  // X11 has no window styles: a child loses the window manager's decorations instead.
  platform::WindowDecorations previous;
  if (!platform::RemoveWindowDecorations(child, &previous)) return false;
  if (!platform::SetParent(child, parent)) {
    // A window left undecorated outside the host would be a stray frameless window.
    platform::RestoreWindowDecorations(child, previous);
    return false;
  }
  int width = 0, height = 0;
  if (platform::GetClientSize(parent, &width, &height))
    platform::MoveWindow(child, 0, 0, width, height, true);
  // Mapped once so that the tool sizes and draws itself, then hidden until Show(true).
  platform::ShowWindow(child, platform::kSwShow);
  platform::UpdateWindow(child);
  platform::ShowWindow(child, platform::kSwHide);
  return true;
}
