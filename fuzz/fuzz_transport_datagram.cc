// One received datagram through the transport: control header, acknowledgement event and
// delivery to an observer. The input is the datagram.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "network/NorvNetUDT.h"
#include "subsystem/AutoEvent.h"

namespace NORV::sNetwork {

struct NorvNetUDTTestHook {
  static void Datagram(NorvNetUDT& t, const char* address, int port, const char* data, int n) {
    t.HandleDatagram(address, port, data, n);
  }
};

}  // namespace NORV::sNetwork

namespace {

using NORV::sNetwork::NorvNetUDT;

// The receive loop's buffer: no datagram is longer.
constexpr size_t kMaxDatagram = 65536;
// An acknowledgement with sequence high 0xfa22, low 0x2b11 sets this event.
constexpr const char* kAckEvent = "Global\\norv_udt_seq:0000fa22-2b11";

struct Delivered {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> items;
};

struct Harness {
  NorvNetUDT transport;
  Delivered delivered;
  NORV::sSubSystem::CAutoEvent ack_event{kAckEvent, false, true};

  Harness() {
    ack_event.Reset();  // a run that stopped early may have left it set
    transport.AddObserver([this](const std::string& ip, int port, const std::string& data) {
      FUZZ_CHECK(ip == "10.1.2.3" && port == 5004);
      std::lock_guard<std::mutex> lock(delivered.mu);
      delivered.items.push_back(data);
      delivered.cv.notify_all();
    });
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxDatagram) return -1;
  Harness& h = pellion_fuzz::Persistent<Harness>();
  NORV::sNetwork::NorvNetUDTTestHook::Datagram(
      h.transport, "10.1.2.3", 5004, reinterpret_cast<const char*>(data), static_cast<int>(size));

  // What must arrive, worked out from the bytes alone: "UD" and "UI" encipher to 5b e0 and
  // 5b ed, and the sequence bytes to the key stream bd 1f 0f 15.
  std::string datagram(reinterpret_cast<const char*>(data), size);
  bool control = size >= 8 && data[0] == 0x5b && (data[1] == 0xe0 || data[1] == 0xed);
  bool ours = control && data[1] == 0xe0 && (data[2] ^ 0xbd) == 0x11 && (data[3] ^ 0x1f) == 0x2b &&
              (data[4] ^ 0x0f) == 0x22 && (data[5] ^ 0x15) == 0xfa;
  std::unique_lock<std::mutex> lock(h.delivered.mu);
  if (size < 4) {
    FUZZ_CHECK(h.delivered.items.empty());
    return 0;
  }
  bool arrived = h.delivered.cv.wait_for(lock, std::chrono::seconds(5),
                                         [&] { return !h.delivered.items.empty(); });
  FUZZ_CHECK(arrived);
  FUZZ_CHECK(h.delivered.items.size() == 1);
  FUZZ_CHECK(h.delivered.items[0] == (control ? datagram.substr(8) : datagram));
  h.delivered.items.clear();
  lock.unlock();
  FUZZ_CHECK(h.ack_event.Wait(0) == (ours ? 0u : 258u));
  return 0;
}
