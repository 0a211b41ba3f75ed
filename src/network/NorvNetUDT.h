// NorvNetUDT: the SDK's datagram transport. It binds a UDP socket, receives on a thread of its
// own and hands every datagram to each observer on that observer's own delivery thread.
// Control datagrams (first 8 bytes enciphered with RC4) may set a named acknowledgement event.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "message_loop/weak_callback.h"
#include "network/yCUdp.h"
#include "thread/framework_thread.h"

namespace NORV::sNetwork {

struct NorvNetUDTTestHook;

struct ControlHeader {
  uint16_t magic = 0;
  uint16_t sequence_low = 0;
  uint16_t sequence_high = 0;
};

inline constexpr uint16_t kControlAckMagic = 0x4455;    // "U","D": acknowledge by event
inline constexpr uint16_t kControlPlainMagic = 0x4955;  // "U","I"

// RC4 keyed with "*vqrl*", run afresh on a copy of a datagram's first 8 bytes.
void DecipherControlBytes(const uint8_t in[8], uint8_t out[8]);

class NorvNetUDT : public SupportWeakCallback {
 public:
  using Callback = std::function<void(const std::string& ip, int port, const std::string& data)>;

  struct Options {
    // Queued datagram bytes per observer beyond which new datagrams are dropped.
    size_t max_queued_bytes = 64u << 20;
    // Receive buffer asked of the kernel (0: the system default).
    int receive_buffer_bytes = 4 << 20;
    // How long Start and AddObserver wait for an earlier receive loop to end.
    int64_t previous_loop_wait_ms = 2500;
  };

  NorvNetUDT();
  explicit NorvNetUDT(Options options);
  ~NorvNetUDT() override;

  // Controlling thread. Adds an observer with a delivery thread of its own. With a key, an
  // observer already registered under it is kept and nothing is added. False when no delivery
  // thread could be started or an earlier receive loop does not end.
  bool AddObserver(Callback callback, const void* key = nullptr);
  // Controlling thread, while not running: drops the observer registered under `key` and joins
  // its delivery thread (a listener whose start failed keeps none).
  void RemoveObserver(const void* key);
  // Controlling thread. Binds `ip`:`port` (type 2 = UDP; the shared-memory mode, type 1, is not
  // provided) and starts receiving unless `ip` is empty. Returns the bound port, 0 on failure.
  int Start(const std::string& ip, int port, int type);
  // Any thread. The receive loop ends within its 1-second wait, closes the socket and drops the
  // observers.
  void Stop();
  bool IsRunning() const { return running_.load(); }
  uint32_t transtype() const { return transtype_.load(); }
  // Receive buffer granted by the kernel for the current socket.
  int receive_buffer() const { return receive_buffer_.load(); }
  // Datagrams dropped because an observer's queue was full.
  uint64_t dropped_datagrams() const { return dropped_.load(); }

  static ControlHeader decrypto(const std::string& data, std::string* payload);

 private:
  struct ObserverEntry {
    std::shared_ptr<const Callback> callback;
    std::shared_ptr<FrameworkThread> thread;
    std::shared_ptr<std::atomic<size_t>> queued_bytes;
    const void* key = nullptr;
  };

  friend struct NorvNetUDTTestHook;  // feeds HandleDatagram without a socket (fuzzing)

  bool OptimizeSock();
  void RecvHandler();
  // Receive thread only: one datagram of `n` bytes from `address`:`port`.
  void HandleDatagram(const char* address, int port, const char* bytes, int n);
  void NotifyObservers(const std::string& ip, int port, const std::string& data);
  bool WaitForPreviousLoop();
  void DropObservers();

  Options options_;
  std::unique_ptr<FrameworkThread> recv_thread_;
  std::unique_ptr<FrameworkThread> recv_ipc_thread_;
  std::unique_ptr<FrameworkThread> send_thread_;

  std::mutex observers_mu_;
  std::vector<ObserverEntry> observers_;  // guarded by observers_mu_

  std::atomic<bool> running_{false};
  yCUdp udp_;
  std::atomic<uint32_t> transtype_{0};
  std::atomic<int> receive_buffer_{0};
  std::atomic<uint64_t> dropped_{0};

  std::mutex loop_mu_;
  std::condition_variable loop_cv_;
  bool loop_active_ = false;  // guarded by loop_mu_
};

}  // namespace NORV::sNetwork
