// The transport's receive loop, control datagrams and per-observer delivery.
#include "network/NorvNetUDT.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "log/log.h"
#include "log/rate_limit.h"
#include "subsystem/AutoEvent.h"

namespace NORV::sNetwork {
namespace {

constexpr int kReceiveBufferSize = 65536;

// The first 8 bytes of RC4's key stream for "*vqrl*". The key schedule would run afresh for
// every datagram and give the same bytes each time, so it runs once.
struct KeyStream {
  uint8_t bytes[8];
  KeyStream() {
    static const uint8_t key[] = {'*', 'v', 'q', 'r', 'l', '*'};
    uint8_t s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
    uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
      j = static_cast<uint8_t>(j + s[i] + key[i % sizeof(key)]);
      std::swap(s[i], s[j]);
    }
    uint8_t a = 0;
    j = 0;
    for (uint8_t& out : bytes) {
      a = static_cast<uint8_t>(a + 1);
      j = static_cast<uint8_t>(j + s[a]);
      std::swap(s[a], s[j]);
      out = s[static_cast<uint8_t>(s[a] + s[j])];
    }
  }
};

}  // namespace

void DecipherControlBytes(const uint8_t in[8], uint8_t out[8]) {
  static const KeyStream stream;
  for (int i = 0; i < 8; ++i) out[i] = in[i] ^ stream.bytes[i];
}

ControlHeader NorvNetUDT::decrypto(const std::string& data, std::string* payload) {
  ControlHeader h;
  if (data.size() < 8) return h;
  uint8_t plain[8];
  DecipherControlBytes(reinterpret_cast<const uint8_t*>(data.data()), plain);
  h.magic = static_cast<uint16_t>(plain[0] | plain[1] << 8);
  h.sequence_low = static_cast<uint16_t>(plain[2] | plain[3] << 8);
  h.sequence_high = static_cast<uint16_t>(plain[4] | plain[5] << 8);
  if (payload != nullptr) payload->assign(data, 8, std::string::npos);
  return h;
}

NorvNetUDT::NorvNetUDT() : NorvNetUDT(Options()) {}

NorvNetUDT::NorvNetUDT(Options options)
    : options_(options),
      recv_thread_(std::make_unique<FrameworkThread>("NorvNetUDT recv thread")),
      recv_ipc_thread_(std::make_unique<FrameworkThread>("NorvNetUDT recv ipc thread")),
      send_thread_(std::make_unique<FrameworkThread>("NorvNetUDT send thread")) {
  recv_thread_->Start(MessageLoop::kIO);
  recv_ipc_thread_->Start(MessageLoop::kIO);
  send_thread_->Start(MessageLoop::kIO);
}

NorvNetUDT::~NorvNetUDT() {
  Stop();
  recv_thread_->Stop();
  recv_ipc_thread_->Stop();
  send_thread_->Stop();
  DropObservers();
}

bool NorvNetUDT::WaitForPreviousLoop() {
  std::unique_lock<std::mutex> lock(loop_mu_);
  // A loop that was stopped ends within its 1-second receive wait.
  return loop_cv_.wait_for(lock, std::chrono::milliseconds(options_.previous_loop_wait_ms),
                           [this] { return !loop_active_ || running_.load(); });
}

bool NorvNetUDT::AddObserver(Callback callback, const void* key) {
  if (!WaitForPreviousLoop()) {
    LOGE << "receive loop still ending, observer not added";
    return false;
  }
  std::lock_guard<std::mutex> lock(observers_mu_);
  if (key != nullptr) {
    for (const ObserverEntry& e : observers_)
      if (e.key == key) return true;
  }
  char name[64];
  std::snprintf(name, sizeof(name), "observer.tr func:0x%p", static_cast<void*>(nullptr));
  auto thread = std::make_shared<FrameworkThread>(name);
  if (!thread->Start(MessageLoop::kIO)) return false;
  observers_.push_back({std::make_shared<const Callback>(std::move(callback)), std::move(thread),
                        std::make_shared<std::atomic<size_t>>(0), key});
  return true;
}

void NorvNetUDT::RemoveObserver(const void* key) {
  std::vector<ObserverEntry> doomed;
  {
    std::lock_guard<std::mutex> lock(observers_mu_);
    auto keep = std::stable_partition(observers_.begin(), observers_.end(),
                                      [key](const ObserverEntry& e) { return e.key != key; });
    doomed.assign(std::make_move_iterator(keep), std::make_move_iterator(observers_.end()));
    observers_.erase(keep, observers_.end());
  }
  // Destroyed outside the lock: the delivery thread is joined after its queue drains.
}

int NorvNetUDT::Start(const std::string& ip, int port, int type) {
  if (running_) return udp_.BoundPort();
  if (!WaitForPreviousLoop()) {
    LOGE << "previous receive loop has not ended";
    return 0;
  }
  if ((type & 1) != 0 && port >= 1) {
    char name[128];
    std::snprintf(name, sizeof(name), "norv_ipc:[ %s:%d ]", ip.c_str(), port);
    // The shared-memory mode is not part of this build.
    LOGI << "ipc start :"
         << " fail "
         << " name:" << name;
  }
  int result = 0;
  if ((type & 2) != 0) {
    bool bound = udp_.Create(ip.empty() ? nullptr : ip.c_str(), port, false);
    LOGI << "bind port:" << port << (bound ? " success " : " fail ");
    if (!bound && udp_.AddressInUse()) {
      LOGE << "port " << port << " is taken by another program: the stream cannot be received";
    } else if (!bound) {
      LOGE << "port " << port << " cannot be bound, error " << udp_.last_error();
    }
    if (bound) {
      transtype_ |= 2;
      port = udp_.BoundPort();
      OptimizeSock();
      if (ip.empty()) {
        running_ = true;  // bound, but nothing receives on it
        result = port;
      } else {
        {
          std::lock_guard<std::mutex> lock(loop_mu_);
          loop_active_ = true;
        }
        running_ = true;
        bool posted = recv_thread_->PostTask(ToWeakCallback([this] { RecvHandler(); }));
        if (posted) {
          LOGI << "StartListen port:" << port << " success ";
          result = port;
        } else {
          running_ = false;
          {
            std::lock_guard<std::mutex> lock(loop_mu_);
            loop_active_ = false;
          }
          udp_.Close();
          LOGE << "StartListen port:" << port << " fail ";
        }
      }
    }
  }
  LOGI << "start udt:" << (running_ ? " success " : " fail ") << " transtype:" << transtype_;
  return result;
}

void NorvNetUDT::Stop() {
  bool was = running_.exchange(false);
  if (was) loop_cv_.notify_all();
}

bool NorvNetUDT::OptimizeSock() {
  if (!udp_.IsValid()) {
    LOGE << "socket dont create!";
    return false;
  }
  udp_.SetRecvTimeout(3000);
  udp_.SetSendTimeout(3000);
  udp_.SetUdpConnReset(true);
  if (options_.receive_buffer_bytes > 0) {
    // A 4K key frame arrives as a burst of some 200 datagrams; the default buffer loses some.
    receive_buffer_ = udp_.SetRecvBuffer(options_.receive_buffer_bytes);
    LOGI << "receive buffer:" << receive_buffer_.load();
  }
  return true;
}

void NorvNetUDT::RecvHandler() {
  std::vector<char> buffer(kReceiveBufferSize);
  char address[64] = {};
  LOGW << "udp recv thread entry";
  while (running_ && (transtype_ & 2) != 0) {
    int port = 0, error = 0;
    int n = udp_.RecvFrom(buffer.data(), kReceiveBufferSize, address, &port, 1, &error);
    if (!running_) break;
    if (n < 0) {
      LOGE_LIMITED << "recvfrom failed, errno " << error;
      // A socket that keeps failing must not spin the thread.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    HandleDatagram(address, port, buffer.data(), n);
  }
  udp_.Shutdown();
  udp_.Close();
  DropObservers();
  LOGW << "udp recv thread close!";
  {
    std::lock_guard<std::mutex> lock(loop_mu_);
    loop_active_ = false;
  }
  loop_cv_.notify_all();
}

void NorvNetUDT::HandleDatagram(const char* address, int port, const char* bytes, int n) {
  if (n < 4) return;
  std::string data(bytes, static_cast<size_t>(n));
  std::string payload;
  ControlHeader h;
  try {
    h = decrypto(data, &payload);
  } catch (const std::exception& e) {
    LOGE << e.what();
    h = ControlHeader();
  } catch (...) {
    LOGE << "Tuple is empty.";
    h = ControlHeader();
  }
  if (h.magic != kControlAckMagic && h.magic != kControlPlainMagic) {
    NotifyObservers(address, port, data);
    return;
  }
  if (h.magic == kControlAckMagic) {
    char name[64];
    std::snprintf(name, sizeof(name), "Global\\norv_udt_seq:%08x-%04x",
                  static_cast<unsigned>(h.sequence_high), static_cast<unsigned>(h.sequence_low));
    sSubSystem::CAutoEvent event(name, false, false);
    if (event.IsValid()) {
      event.Set();
    } else {
      LOGE_LIMITED << "can not open evt:" << name;
    }
  }
  NotifyObservers(address, port, payload);
}

void NorvNetUDT::NotifyObservers(const std::string& ip, int port, const std::string& data) {
  std::vector<ObserverEntry> observers;
  {
    std::lock_guard<std::mutex> lock(observers_mu_);
    observers = observers_;
  }
  for (const ObserverEntry& e : observers) {
    if (e.queued_bytes->load() + data.size() > options_.max_queued_bytes) {
      uint64_t dropped = ++dropped_;
      LOGE_LIMITED << "observer queue full, datagrams dropped so far: " << dropped;
      continue;
    }
    *e.queued_bytes += data.size();
    // The task holds the callback, not the entry: the entry owns the delivery thread, and a
    // thread must never become the last owner of itself.
    e.thread->PostTask(ToWeakCallback(
        [callback = e.callback, queued = e.queued_bytes, ip = std::string(ip.c_str()), port, data] {
          *queued -= data.size();
          (*callback)(ip, port, data);
        }));
  }
}

void NorvNetUDT::DropObservers() {
  std::vector<ObserverEntry> doomed;
  {
    std::lock_guard<std::mutex> lock(observers_mu_);
    doomed.swap(observers_);
  }
  // Destroyed outside the lock: each delivery thread is joined after its queue drains.
}

}  // namespace NORV::sNetwork
