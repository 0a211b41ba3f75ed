// The process monitor: one wait on {stop token, process}, the stop token first.
#include "ScrcpyProcessMonitorThread.h"

#include "log/log.h"
#include "platform/message_queue.h"
#include "platform/process.h"
#include "subsystem/ProcessHandle.h"
#include "subsystem/ProcessHelper.h"

using NORV::sLog::Bool;
using NORV::sSubSystem::ProcessHandle;
using NORV::sSubSystem::ProcessHelper;

ScrcpyProcessMonitorThread::ScrcpyProcessMonitorThread(std::string exe_name)
    : exe_name_(std::move(exe_name)) {}

ScrcpyProcessMonitorThread::~ScrcpyProcessMonitorThread() { Stop(); }

bool ScrcpyProcessMonitorThread::Start(platform::DWORD pid, platform::DWORD notify_thread_id,
                                       uint32_t notify_message) {
  if (running_.load()) return true;
  pid_.store(pid);
  notify_thread_id_ = notify_thread_id;
  notify_message_ = notify_message;
  // Set by the last Stop: left set, the new thread would end at its first look.
  stop_.Reset();
  bool started = Create();
  running_.store(started);
  LOGI << "create ProcessMonitorThread :" << Bool(started) << " tid:" << thread_id()
       << " notify tid:" << notify_thread_id << " notify msg:" << notify_message;
  return started;
}

void ScrcpyProcessMonitorThread::Stop() {
  if (!running_.exchange(false)) return;
  LOGI << "stop ProcessMonitorThread";
  cur_pid_.store(0);
  stop_.Cancel();
  Join();
}

void ScrcpyProcessMonitorThread::Notify(platform::WPARAM wParam, platform::LPARAM lParam,
                                        const char* what) {
  if (notify_thread_id_ == 0 || notify_message_ == 0) return;
  platform::SetLastError(0);
  bool posted = platform::PostThreadMessage(notify_thread_id_, notify_message_, wParam, lParam);
  LOGI << what << Bool(posted) << " to tid:" << notify_thread_id_
       << " error:" << ProcessHelper::GetLastErrorText();
}

void ScrcpyProcessMonitorThread::Run() {
  LOGI << "entry";
  for (;;) {
    if (!stop_.valid()) break;
    platform::DWORD candidate = pid_.load();
    if (candidate == 0) candidate = ProcessHelper::FindProcessIdByName(exe_name_.c_str());
    if (candidate != 0 && candidate != cur_pid_.load()) {
      LOGI << "find pid:" << candidate << " cur monitor pid:" << cur_pid_.load()
           << " exename:" << exe_name_;
      cur_pid_.store(candidate);
      Notify(kFound, candidate, "found!!! PostThreadMessage :");
      ProcessHandle process(candidate, NORV::sSubSystem::kProcessAllAccess, false);
      if (process.IsValid()) {
        uint32_t woke = platform::WaitForAny({stop_, process.process()}, -1);
        if (woke == 0) {
          LOGI << "signal nexit";
          break;
        }
        if (woke == 1) {
          // Reaps it when it is our child, so that it leaves no zombie.
          process.Wait(platform::kKillWaitMs);
          Notify(kEnded, 0, "killed!!! PostThreadMessage :");
          cur_pid_.store(0);
          pid_.store(0);
          break;
        }
      } else {
        LOGI << "null handle proc:" << -1 << " exename:" << exe_name_;
      }
    }
    if (stop_.Wait(kRetryMs) == 0) {
      LOGI << "exit Processmonitorthread";
      break;
    }
  }
  LOGI << "leave";
}
