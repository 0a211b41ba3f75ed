// The channel controller: the "Pellion" worker and the link to the host's sender.
#include "Pellion.h"

#include <exception>
#include <mutex>

#include "MetaUdpServer.h"
#include "adb_scrcpy.h"
#include "log/log.h"
#include "log/log_init.h"

namespace {

constexpr int64_t kStopChanTimeoutMs = 3000;

// Host-facing operations never let an exception out: log it and give the failure result.
template <typename R, typename F>
R Guarded(const char* what, R failure, F&& f) {
  try {
    return f();
  } catch (const std::exception& e) {
    LOGE << what << " threw: " << e.what();
  } catch (...) {
    LOGE << what << " threw";
  }
  return failure;
}

}  // namespace

Pellion::Pellion() : NKMsgFrameThread("Pellion") {
  NORV::sLog::GetLogInit().SetLogPrefix(true, "", NORV::sLog::ChannelLogName(), 5,
                                        NORV::sLog::ChannelLogDirectory());
  decoder_.sig_tcp_send_.connect(this, &Pellion::TcpSendData);
}

Pellion::~Pellion() {
  // In this order: no request may reach a half-destroyed channel, and Cleanup must never run
  // on destroyed members.
  decoder_.sig_tcp_send_.disconnect(this);
  FrameworkThread::Stop();
}

std::shared_ptr<Pellion> Pellion::GetInstance() {
  // Function-local, hence made after the module's other single instances (file-scope objects
  // made at load) and destroyed before them at exit: the channel stops while they still exist.
  static std::shared_ptr<Pellion> instance;
  static std::once_flag once;
  try {
    // A constructor that throws leaves the flag unset, so the next call tries again.
    std::call_once(once, [] { instance = std::make_shared<Pellion>(); });
  } catch (const std::exception& e) {
    LOGE << "creating the plug-in failed: " << e.what();
    return nullptr;
  } catch (...) {
    LOGE << "creating the plug-in failed";
    return nullptr;
  }
  return instance;
}

int32_t Pellion::StartChan() {
  return Guarded("StartChan", 0, [this]() -> int32_t {
    if (IsRunning()) return 1;
    bool started = Start();
    if (started && !decoding_) {
      // A channel that cannot decode, or cannot receive, is not started: stop the worker so
      // that the host's next StartChan starts anew.
      Stop(kStopChanTimeoutMs);
      started = false;
    }
    LOGI << "start av chan tid:" << (started ? thread_id() : 0);
    return started ? 1 : 0;
  });
}

void Pellion::StopChan() {
  Guarded("StopChan", 0, [this] {
    Stop(kStopChanTimeoutMs);
    return 0;
  });
}

void Pellion::SetTcpOper(ITcpOper* oper) { tcp_oper_.store(oper, std::memory_order_release); }

HWND Pellion::StartScrcpy(HWND parent, uint32_t parent_msg) {
  return Guarded("StartScrcpy", static_cast<HWND>(nullptr),
                 [&]() -> HWND { return AdbScrcpy::GetInstance()->Start(parent, parent_msg); });
}

void Pellion::StopScrcpy() {
  Guarded("StopScrcpy", 0, [] {
    AdbScrcpy::GetInstance()->Stop();
    return 0;
  });
}

void Pellion::ShowScrcpy(bool visible) {
  Guarded("ShowScrcpy", 0, [visible] {
    AdbScrcpy::GetInstance()->Show(visible);
    return 0;
  });
}

void Pellion::TcpSendData(int& result, uint32_t code, const void* body, uint32_t length) {
  ITcpOper* oper = tcp_oper_.load(std::memory_order_acquire);
  if (oper == nullptr) return;
  result = Guarded("SendMsg", result, [&] { return oper->SendMsg(code, body, length); });
}

void Pellion::Init() {
  NKMsgFrameThread::Init();
  decoding_ = decoder_.StartDecoding();
  if (!decoding_) return;
  if (!MetaUdpServer::GetInstance()->StartListen(kStreamPort)) {
    // No stream would ever reach the decoder (the transport's log says why): stop it now, so
    // that the next start binds again with a decoder of its own.
    decoder_.StopDecoding();
    decoding_ = false;
  }
}

void Pellion::Cleanup() {
  NKMsgFrameThread::Cleanup();
  // Reception first, so that no frame reaches a stopping decoder.
  MetaUdpServer::GetInstance()->StopListen();
  // A decoder that did not start is left to end by itself: stopping it again only waits.
  if (decoding_) decoder_.StopDecoding();
  decoding_ = false;
}
