// A minimal host: loads the installed module by the path its package gives, supplies a sender
// that carries key-frame requests to the video sender's TCP port, and runs the channel for the
// given seconds.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "pellion/keyframe_link.h"
#include "pellion/pellion.h"

namespace {

// SendMsg runs on the plug-in's decoder thread and only raises a flag; the sender's own thread
// sends it, connecting anew each time (requests are rare).
class LinkSender : public ITcpOper {
 public:
  LinkSender() : thread_([this] { Run(); }) {}
  ~LinkSender() {
    stop_ = true;
    thread_.join();
  }
  int32_t SendMsg(uint32_t code, const void*, uint32_t) override {
    if (code == REQUEST_CODE_FOR_I_FRAME) pending_ = true;
    return 0;
  }
  std::atomic<int> requests{0};
  std::atomic<int> sent{0};

 private:
  void Run() {
    while (!stop_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!pending_.exchange(false)) continue;
      ++requests;
      std::string msg = pellion::EncodeLinkMessage(REQUEST_CODE_FOR_I_FRAME, nullptr, 0);
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<uint16_t>(pellion::kKeyFrameRequestPort));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
          send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(msg.size()))
        ++sent;
      if (fd >= 0) close(fd);
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<bool> pending_{false};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const char* module = PELLION_MODULE_PATH;
  int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
  void* handle = dlopen(module, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "consumer_host: cannot load %s: %s\n", module, dlerror());
    return 1;
  }
  auto create =
      reinterpret_cast<CreatePlugInterfaceFunction>(dlsym(handle, kCreatePlugInterfaceName));
  IAVStreamInterface* plugin = create != nullptr ? create() : nullptr;
  if (plugin == nullptr) {
    std::fprintf(stderr, "consumer_host: no plug-in from %s\n", module);
    return 1;
  }
  LinkSender sender;
  plugin->SetTcpOper(&sender);
  if (plugin->StartChan() != 1) {
    std::fprintf(stderr, "consumer_host: StartChan failed\n");
    return 1;
  }
  std::printf("consumer_host: loaded %s, channel running for %d s\n", module, seconds);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  plugin->StopChan();
  std::printf("consumer_host: channel stopped, %d key-frame requests, %d sent\n",
              sender.requests.load(), sender.sent.load());
  return 0;
}
