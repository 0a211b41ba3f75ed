// Whether a UDP port can be bound right now as the channel binds it (held alone), for tests
// that wait until an earlier test's channel has let its port go.
#pragma once

#include "platform/udp_socket.h"

namespace testing_util {

inline bool UdpPortIsFree(int port) {
  platform::UdpSocket probe;
  return probe.Open() == 0 && probe.SetExclusiveAddressUse() == 0 && probe.Bind(nullptr, port) == 0;
}

}  // namespace testing_util
