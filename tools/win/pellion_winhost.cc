// A small Windows host: loads Pellion.dll with LoadLibraryW as a host application does, runs
// the channel, reads the pictures from the section and writes them as a dump (the same records
// as pellion-host's --dump: index, width, height, byte count as little-endian 32/16/16/32-bit
// values, then the NV12 picture).
//
//   pellion-winhost [--module PATH] [--dump FILE] [--seconds S] [--frames N]
//                   [--sender-host IP] [--sender-port PORT]
#include <winsock2.h>

#include <windows.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "dump_record.h"
#include "host/file.h"
#include "pellion/frame_section.h"
#include "pellion/keyframe_link.h"
#include "pellion/pellion.h"
#include "read_stats.h"

namespace {

// Carries the plug-in's key-frame requests to the sender; connects on demand.
class LinkSender : public ITcpOper {
 public:
  LinkSender(std::string host, int port) : host_(std::move(host)), port_(port) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~LinkSender() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  int32_t SendMsg(uint32_t code, const void* body, uint32_t length) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++requests_;
    std::string message = pellion::EncodeLinkMessage(code, body, length);
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (socket_ == INVALID_SOCKET && !Connect()) return -1;
      if (send(socket_, message.data(), static_cast<int>(message.size()), 0) ==
          static_cast<int>(message.size()))
        return 0;
      closesocket(socket_);
      socket_ = INVALID_SOCKET;
    }
    return -1;
  }
  int requests() const { return requests_; }

 private:
  bool Connect() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port_));
    if (inet_pton(AF_INET, host_.c_str(), &a.sin_addr) != 1 ||
        connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      closesocket(s);
      return false;
    }
    socket_ = s;
    return true;
  }

  std::mutex mu_;
  std::string host_;
  int port_;
  SOCKET socket_ = INVALID_SOCKET;
  int requests_ = 0;
};

std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
  return w;
}

std::wstring BesideExe(const wchar_t* name) {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  std::wstring path(buf, n);
  size_t cut = path.find_last_of(L"\\/");
  return (cut == std::wstring::npos ? L"" : path.substr(0, cut + 1)) + name;
}

volatile LONG g_stop = 0;
BOOL WINAPI OnConsoleSignal(DWORD) {
  InterlockedExchange(&g_stop, 1);
  return TRUE;
}

int Usage() {
  std::fprintf(stderr,
               "usage: pellion-winhost [--module PATH] [--dump FILE] [--seconds S] [--frames N] "
               "[--sender-host IP] [--sender-port PORT]\n");
  return 2;
}

struct Args {
  std::wstring module = BesideExe(L"Pellion.dll");
  std::string dump_path, sender_host = "127.0.0.1";
  double seconds = 0;
  long frames = 0;
  int sender_port = pellion::kKeyFrameRequestPort;
};

// Every option takes a value; false on anything else, or a number with a tail.
bool ParseArgs(int argc, char** argv, Args* args) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    char* end = nullptr;
    if (a == "--module") {
      args->module = Wide(v);
    } else if (a == "--dump") {
      args->dump_path = v;
    } else if (a == "--seconds") {
      args->seconds = std::strtod(v.c_str(), &end);
    } else if (a == "--frames") {
      args->frames = std::strtol(v.c_str(), &end, 10);
    } else if (a == "--sender-host") {
      args->sender_host = v;
    } else if (a == "--sender-port") {
      args->sender_port = static_cast<int>(std::strtol(v.c_str(), &end, 10));
    } else {
      return false;
    }
    if (end != nullptr && *end != '\0') return false;
  }
  return true;
}

IAVStreamInterface* LoadPlugin(const std::wstring& module) {
  HMODULE dll = LoadLibraryW(module.c_str());
  if (dll == nullptr) {
    std::fprintf(stderr, "pellion-winhost: cannot load the module: error %lu\n", GetLastError());
    return nullptr;
  }
  using Create = IAVStreamInterface* (*)();
  auto create =
      reinterpret_cast<Create>(reinterpret_cast<void*>(GetProcAddress(dll, "CreatePlugInterface")));
  IAVStreamInterface* plugin = create != nullptr ? create() : nullptr;
  if (plugin == nullptr) std::fprintf(stderr, "pellion-winhost: no CreatePlugInterface\n");
  return plugin;
}

struct Counts {
  long total = 0;
  pellion_tools::ReadStats stats;
  bool write_failed = false;
};

// Reads this run's pictures into the dump until stopped, timed out or the count is reached.
Counts ReadPictures(pellion::FrameReader& reader, pellion_tools::File& dump, const Args& args) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::vector<uint8_t> picture;
  pellion::FrameHeader h;
  Counts c;
  while (g_stop == 0 && (args.frames == 0 || c.total < args.frames)) {
    if (args.seconds > 0 && Clock::now() - start >= std::chrono::duration<double>(args.seconds))
      break;
    if (!reader.Wait(50)) continue;
    pellion::FramePublication info;
    const pellion::ReadResult result = reader.ReadWhole(&h, &picture, &info);
    // A picture another process left in the section is not one of this run's plug-in.
    if (result == pellion::ReadResult::kGood && info.has_record &&
        info.writer_id != static_cast<uint32_t>(GetCurrentProcessId()))
      continue;
    if (!c.stats.Count(result, info)) continue;
    // After a short record nothing more is appended: a reader would take its tail for a header.
    if (dump && !pellion_tools::AppendDumpRecord(dump.get(), h, picture)) {
      c.write_failed = true;
      dump.Close();
    }
    ++c.total;
  }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, &args)) return Usage();
  SetConsoleCtrlHandler(OnConsoleSignal, TRUE);
  IAVStreamInterface* plugin = LoadPlugin(args.module);
  if (plugin == nullptr) return 1;
  LinkSender sender(args.sender_host, args.sender_port);
  plugin->SetTcpOper(&sender);
  pellion::FrameReader reader;
  if (!reader.Open()) {
    std::fprintf(stderr, "pellion-winhost: cannot open the frame section: error %d\n",
                 reader.error());
    return 1;
  }
  pellion_tools::File dump;
  if (!args.dump_path.empty() && !(dump = pellion_tools::File::Open(args.dump_path, "wb"))) {
    std::fprintf(stderr, "pellion-winhost: cannot write %s\n", args.dump_path.c_str());
    return 1;
  }
  if (plugin->StartChan() != 1) {
    std::fprintf(stderr, "pellion-winhost: StartChan failed\n");
    return 1;
  }
  std::printf("pellion-winhost: channel started\n");
  std::fflush(stdout);
  Counts c = ReadPictures(reader, dump, args);
  plugin->StopChan();
  plugin->SetTcpOper(nullptr);
  if (!dump.Close()) c.write_failed = true;
  std::printf("pellion-winhost: %ld pictures, %ld torn, %d key-frame requests\n", c.total,
              c.stats.torn(), sender.requests());
  std::printf("pellion-winhost: %s\n", c.stats.Summary().c_str());
  if (c.write_failed) {
    std::fprintf(stderr, "pellion-winhost: cannot write %s\n", args.dump_path.c_str());
    return 1;
  }
  return 0;
}
