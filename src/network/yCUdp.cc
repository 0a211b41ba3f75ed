#include "network/yCUdp.h"

#include <cstdio>
#include <cstring>

namespace NORV::sNetwork {

bool yCUdp::Create(const char* ip, int port, bool broadcast) {
  last_error_ = socket_.Open();
  if (last_error_ != 0) {
    std::printf("UDP create socket error! ");
    std::fflush(stdout);
    return false;
  }
  last_error_ = broadcast ? socket_.SetBroadcast(true) : socket_.SetExclusiveAddressUse();
  if (last_error_ != 0) {
    socket_.Close();
    return false;
  }
  last_error_ = socket_.Bind(ip, port);
  if (last_error_ != 0) {
    std::printf("UDP bind addr fail!");
    std::fflush(stdout);
    socket_.Close();
    return false;
  }
  return true;
}

int yCUdp::RecvFrom(char* buffer, int length, char* ip_out, int* port_out, int timeout_seconds,
                    int* error) {
  std::string ip;
  int err = 0;
  int n = socket_.ReceiveFrom(buffer, length, &ip, port_out,
                              timeout_seconds != 0 ? timeout_seconds * 1000 : -1, &err);
  if (error != nullptr) *error = err;
  if (n > 0 && ip_out != nullptr) {
    std::memcpy(ip_out, ip.c_str(), ip.size() + 1);  // dotted IPv4 fits the caller's 64 bytes
  }
  return n;
}

int yCUdp::SetRecvBuffer(int bytes) {
  socket_.SetReceiveBuffer(bytes);
  return socket_.ReceiveBuffer();
}

}  // namespace NORV::sNetwork
