// A sequence of datagrams into one receiver, as the delivery thread would hand them over: the
// packet checks, reassembly and the frame signal. Each datagram is a record of the input (see
// pellion_fuzz::Records); the receiver and its buffer live on from one input to the next.
#include <string>

#include "MetaUdpServer.h"
#include "VFrameBuffer.h"
#include "fuzz_common.h"
#include "sigslot/sigslot.h"

namespace {

class FrameCheck : public NORV::sHelper::sigslot::has_slots<> {
 public:
  void OnFrame(uint32_t index, const std::string& frame) {
    // Index 0 means "no frame" and an empty frame has nothing to decode: neither is handed on.
    FUZZ_CHECK(index != 0);
    FUZZ_CHECK(!frame.empty());
    FUZZ_CHECK(frame.size() <= VFrameBuffer::kMaxFrameBytes);
  }
};

struct Harness {
  MetaUdpServer server;
  FrameCheck check;
  Harness() { server.sig_vframe_.connect(&check, &FrameCheck::OnFrame); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = pellion_fuzz::Persistent<Harness>();
  pellion_fuzz::Records records(data, size);
  std::string datagram;
  while (!records.done()) {
    datagram.assign(records.Next());
    // A few sources, told apart by the last byte: the source table and take-overs get tried.
    const int port = 5004 + (datagram.empty() ? 0 : static_cast<uint8_t>(datagram.back()) % 4);
    h.server.OnRead("10.1.2.3", port, datagram);
  }
  return 0;
}
