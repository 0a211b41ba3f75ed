// pellion-host: what a host application does with the plug-in, as a program. It loads
// Pellion.so by path, gives it a sender for key-frame requests, starts the channel and shows
// the published pictures in a window, writes them as Y4M, or counts them. With --mirror it
// embeds the phone-screen mirror in its window instead.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

// Before SDL's X11 headers, which define Success and others as macros.
#include <CLI/CLI.hpp>

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dump_record.h"
#include "nv12_to_i420.h"
#include "pellion/frame_section.h"
#include "pellion/keyframe_link.h"
#include "pellion/pellion.h"
#include "read_stats.h"

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

std::string DefaultModulePath() {
  char exe[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return "Pellion.so";
  std::string path(exe, static_cast<size_t>(n));
  std::string beside = path.substr(0, path.rfind('/') + 1) + "Pellion.so";
#ifdef PELLION_INSTALLED_MODULE
  // An installed host has no module beside it: it takes the one installed under its prefix.
  if (access(beside.c_str(), F_OK) != 0) return PELLION_INSTALLED_MODULE;
#endif
  return beside;
}

// The host's sender: SendMsg only queues (it runs on the plug-in's decoder thread, which must
// never wait for a network); a thread of its own connects, reconnects and sends.
class LinkSender : public ITcpOper {
 public:
  LinkSender(std::string host, int port) : host_(std::move(host)), port_(port) {
    thread_ = std::thread([this] { Run(); });
  }
  ~LinkSender() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
    if (fd_ >= 0) close(fd_);
  }

  int32_t SendMsg(uint32_t code, const void* body, uint32_t length) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      // Only the newest request of a code waits: one key-frame request answers many.
      pending_[code] = std::string(static_cast<const char*>(body), body != nullptr ? length : 0);
    }
    ++requests_;
    cv_.notify_all();
    return 0;
  }
  int requests() const { return requests_.load(); }
  int sent() const { return sent_.load(); }
  bool connected() const { return connected_.load(); }

 private:
  bool Connect() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    if (inet_pton(AF_INET, host_.c_str(), &a.sin_addr) != 1) {
      close(fd);
      return false;
    }
    int r = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    if (r != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int err = 0;
      socklen_t len = sizeof(err);
      r = poll(&p, 1, 1000) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
                  err == 0
              ? 0
              : -1;
    }
    if (r != 0) {
      close(fd);
      return false;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    fd_ = fd;
    connected_ = true;
    return true;
  }

  bool SendAll(const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
      ssize_t n = send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n > 0) {
        off += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, 1000) == 1) continue;
      }
      return false;
    }
    return true;
  }

  void Disconnect() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    connected_ = false;
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!quit_) {
      if (pending_.empty()) {
        cv_.wait(lock, [this] { return quit_ || !pending_.empty(); });
        continue;
      }
      std::map<uint32_t, std::string> batch;
      batch.swap(pending_);
      lock.unlock();
      bool ok = fd_ >= 0 || Connect();
      for (auto it = batch.begin(); ok && it != batch.end();) {
        ok = SendAll(pellion::EncodeLinkMessage(it->first, it->second.data(),
                                                static_cast<uint32_t>(it->second.size())));
        if (ok) {
          ++sent_;
          it = batch.erase(it);
        }
      }
      lock.lock();
      if (!ok) {
        Disconnect();
        // Unsent requests wait for the next try, unless a newer one of the code came.
        for (auto& [code, body] : batch) pending_.try_emplace(code, body);
        cv_.wait_for(lock, std::chrono::milliseconds(pellion::kReconnectIntervalMs),
                     [this] { return quit_; });
      }
    }
  }

  const std::string host_;
  const int port_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<uint32_t, std::string> pending_;
  bool quit_ = false;
  int fd_ = -1;  // sender thread only
  std::atomic<bool> connected_{false};
  std::atomic<int> requests_{0}, sent_{0};
  std::thread thread_;
};

// The window: an SDL2 texture in NV12, resized to each picture's size.
class Window {
 public:
  bool Open() {
    if (SDL_Init(SDL_INIT_VIDEO) != 0) return Fail("SDL_Init");
    window_ = SDL_CreateWindow("pellion-host", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                               960, 540, SDL_WINDOW_RESIZABLE);
    if (window_ == nullptr) return Fail("SDL_CreateWindow");
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (renderer_ == nullptr) return Fail("SDL_CreateRenderer");
    return true;
  }
  ~Window() {
    if (texture_ != nullptr) SDL_DestroyTexture(texture_);
    if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
    if (window_ != nullptr) SDL_DestroyWindow(window_);
    SDL_Quit();
  }
  // The X11 id of the window, as a host hands it to the mirror.
  unsigned long X11Id() {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (window_ == nullptr || !SDL_GetWindowWMInfo(window_, &info) ||
        info.subsystem != SDL_SYSWM_X11)
      return 0;
    return info.info.x11.window;
  }
  void Show(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) {
    if (texture_ == nullptr || h.width != w_ || h.height != h_) {
      if (texture_ != nullptr) SDL_DestroyTexture(texture_);
      texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_NV12, SDL_TEXTUREACCESS_STREAMING,
                                   h.width, h.height);
      w_ = h.width;
      h_ = h.height;
    }
    if (texture_ == nullptr) return;
    const uint8_t* uv = nv12.data() + static_cast<size_t>(w_) * h_;
    SDL_UpdateNVTexture(texture_, nullptr, nv12.data(), w_, uv, 2 * ((w_ + 1) / 2));
    SDL_RenderClear(renderer_);
    SDL_RenderCopy(renderer_, texture_, nullptr, nullptr);
    SDL_RenderPresent(renderer_);
  }
  // Hands X events to the event loop too, so that the plug-in's window messages are seen.
  void WatchWindowMessages() { SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE); }
  struct MirrorEvents {
    bool quit = false;
    bool toggle = false;  // the M key
    bool ended = false;   // the plug-in's end notice
  };
  // Waits at most timeout_ms for events and sorts them out.
  MirrorEvents PumpMirror(uint32_t end_message, int timeout_ms) {
    MirrorEvents events;
    SDL_Event e;
    for (int got = SDL_WaitEventTimeout(&e, timeout_ms); got != 0; got = SDL_PollEvent(&e)) {
      if (e.type == SDL_QUIT) events.quit = true;
      if (e.type == SDL_KEYDOWN && e.key.keysym.sym == SDLK_m && e.key.repeat == 0)
        events.toggle = true;
      if (e.type == SDL_SYSWMEVENT && IsEndNotice(*e.syswm.msg, end_message)) events.ended = true;
    }
    return events;
  }
  // False once the user closed the window.
  bool Pump() {
    SDL_Event e;
    while (SDL_PollEvent(&e))
      if (e.type == SDL_QUIT) return false;
    return true;
  }

 private:
  bool Fail(const char* what) {
    std::fprintf(stderr, "pellion-host: %s: %s\n", what, SDL_GetError());
    return false;
  }
  // The plug-in posts its window messages as ClientMessage "NORV_WINDOW_MESSAGE" (see
  // pellion_types.h); the end notice carries the host's message number and wParam 1.
  bool IsEndNotice(const SDL_SysWMmsg& msg, uint32_t end_message) {
    if (msg.subsystem != SDL_SYSWM_X11) return false;
    const XEvent& x = msg.msg.x11.event;
    if (x.type != ClientMessage || x.xclient.format != 32) return false;
    if (message_atom_ == 0) message_atom_ = InternWindowMessageAtom(x.xclient.display);
    return x.xclient.message_type == message_atom_ &&
           static_cast<uint32_t>(x.xclient.data.l[0]) == end_message &&
           static_cast<uint32_t>(x.xclient.data.l[1]) == 1;
  }
  // SDL loads Xlib itself: its XInternAtom is borrowed rather than linked a second time.
  static Atom InternWindowMessageAtom(Display* display) {
    void* xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
    if (xlib == nullptr) return 0;
    using InternAtom = Atom (*)(Display*, const char*, int);
    auto intern = reinterpret_cast<InternAtom>(dlsym(xlib, "XInternAtom"));
    Atom atom = intern != nullptr ? intern(display, "NORV_WINDOW_MESSAGE", 0) : 0;
    dlclose(xlib);
    return atom;
  }
  Atom message_atom_ = 0;
  SDL_Window* window_ = nullptr;
  SDL_Renderer* renderer_ = nullptr;
  SDL_Texture* texture_ = nullptr;
  int w_ = 0, h_ = 0;
};

struct Options {
  std::string module = DefaultModulePath();
  std::string sender_host = "127.0.0.1";
  int sender_port = pellion::kKeyFrameRequestPort;
  std::string y4m;
  std::string dump;
  std::string hashes;
  double restart_every = 0;
  bool headless = false;
  int frames = 0;
  double seconds = 0;
  int cycles = 0;
  bool leave_running = false;
  int fps = 30;
  bool mirror = false;
};

// The message number the mirror's end notice comes back with (WM_USER + 1).
constexpr uint32_t kMirrorEndMessage = 0x0401;

IAVStreamInterface* LoadPlugin(const std::string& module) {
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "pellion-host: cannot load %s: %s\n", module.c_str(), dlerror());
    return nullptr;
  }
  auto create =
      reinterpret_cast<CreatePlugInterfaceFunction>(dlsym(handle, kCreatePlugInterfaceName));
  if (create == nullptr) {
    std::fprintf(stderr, "pellion-host: %s has no %s\n", module.c_str(), kCreatePlugInterfaceName);
    return nullptr;
  }
  IAVStreamInterface* plugin = create();
  if (plugin == nullptr) std::fprintf(stderr, "pellion-host: the plug-in could not be created\n");
  return plugin;
}

int RunCycles(IAVStreamInterface* plugin, int cycles) {
  for (int i = 0; i < cycles; ++i) {
    auto start = Clock::now();
    int32_t started = plugin->StartChan();
    plugin->StopChan();
    std::chrono::duration<double, std::milli> ms = Clock::now() - start;
    std::printf("pellion-host: cycle %d: StartChan=%d, start+stop %.2f ms\n", i + 1, started,
                ms.count());
    if (started != 1) return 1;
  }
  return 0;
}

// 64-bit FNV-1a: a picture's identity in --hashes lines, cheap next to a decode.
uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
  return h;
}

int64_t MonotonicUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

// What the process holds now: threads and open descriptors.
struct Resources {
  long threads = 0, descriptors = 0;
  static Resources Now() {
    Resources r;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
      ++r.threads;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
      ++r.descriptors;
    return r;
  }
  // After a stop: the receive loop ends within its one-second wait and takes its delivery
  // thread with it, so counts are taken once they held still for longer than that (at most 3 s).
  static Resources Settled() {
    Resources r = Now();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    auto still = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - still < std::chrono::milliseconds(1100) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling, with a deadline
      Resources n = Now();
      if (n.threads != r.threads || n.descriptors != r.descriptors) {
        r = n;
        still = std::chrono::steady_clock::now();
      }
    }
    return r;
  }
};

int RunChannel(IAVStreamInterface* plugin, const Options& o) {
  LinkSender sender(o.sender_host, o.sender_port);
  plugin->SetTcpOper(&sender);  // before StartChan, while the channel is stopped
  pellion::FrameReader reader;
  if (!reader.Open()) {
    std::fprintf(stderr, "pellion-host: cannot open the frame section: %s\n",
                 std::strerror(reader.error()));
    return 1;
  }
  Window window;
  bool show = !o.headless && o.y4m.empty() && std::getenv("DISPLAY") != nullptr;
  if (show && !window.Open()) show = false;
  if (show) std::printf("pellion-host: window 0x%lx\n", window.X11Id());
  FILE* y4m = nullptr;
  if (!o.y4m.empty() && (y4m = std::fopen(o.y4m.c_str(), "wb")) == nullptr) {
    std::fprintf(stderr, "pellion-host: cannot write %s: %s\n", o.y4m.c_str(),
                 std::strerror(errno));
    return 1;
  }
  FILE* dump = nullptr;
  bool dump_failed = false;
  if (!o.dump.empty() && (dump = std::fopen(o.dump.c_str(), "wb")) == nullptr) {
    std::fprintf(stderr, "pellion-host: cannot write %s: %s\n", o.dump.c_str(),
                 std::strerror(errno));
    return 1;
  }
  FILE* hashes = nullptr;
  if (!o.hashes.empty() && (hashes = std::fopen(o.hashes.c_str(), "w")) == nullptr) {
    std::fprintf(stderr, "pellion-host: cannot write %s: %s\n", o.hashes.c_str(),
                 std::strerror(errno));
    return 1;
  }
  Resources before = Resources::Now();
  if (plugin->StartChan() != 1) {
    std::fprintf(stderr, "pellion-host: StartChan failed\n");
    return 1;
  }
  std::printf("pellion-host: channel started, %s\n", show  ? "showing pictures"
                                                     : y4m ? "writing Y4M"
                                                           : "counting pictures");
  std::fflush(stdout);

  Nv12ToI420 converter;
  std::vector<uint8_t> picture, i420;
  pellion::FrameHeader h;
  int total = 0, in_second = 0, gaps = 0;
  pellion_tools::ReadStats stats;
  uint32_t last = 0;
  bool y4m_header = false;
  int restarts = 0;
  const auto start = Clock::now();
  auto second = start, restarted = start;
  while (!g_stop && (o.frames == 0 || total < o.frames)) {
    auto now = Clock::now();
    if (o.seconds > 0 && now - start >= std::chrono::duration<double>(o.seconds)) break;
    if (o.restart_every > 0 && now - restarted >= std::chrono::duration<double>(o.restart_every)) {
      plugin->StopChan();
      // What the module keeps between runs (its loops, the log's threads) is no leak: count
      // from the first stop.
      if (restarts == 0) before = Resources::Settled();
      if (hashes != nullptr)
        std::fprintf(hashes, "restart %lld\n", static_cast<long long>(MonotonicUs()));
      if (plugin->StartChan() != 1) {
        std::fprintf(stderr, "pellion-host: StartChan failed on restart %d\n", restarts + 1);
        break;
      }
      ++restarts;
      restarted = Clock::now();
    }
    if (now - second >= std::chrono::seconds(1)) {
      std::printf(
          "pellion-host: %d pictures/s (%d in all), %d index gaps, %d torn, %d key-frame "
          "requests (%d sent)\n",
          in_second, total, gaps, static_cast<int>(stats.torn()), sender.requests(), sender.sent());
      std::fflush(stdout);
      in_second = 0;
      second = now;
    }
    if (show && !window.Pump()) break;
    if (!reader.Wait(50)) continue;
    pellion::FramePublication info;
    const pellion::ReadResult result = reader.ReadWhole(&h, &picture, &info);
    // The section and its signal outlive processes: a picture another process left there is
    // not one of this run's plug-in.
    if (result == pellion::ReadResult::kGood && info.has_record &&
        info.writer_id != static_cast<uint32_t>(getpid()))
      continue;
    // A torn copy is no picture the plug-in published: it is counted, and goes nowhere.
    if (!stats.Count(result, info)) continue;
    if (dump != nullptr && !pellion_tools::AppendDumpRecord(dump, h, picture)) {
      std::fprintf(stderr, "pellion-host: cannot write %s: %s\n", o.dump.c_str(),
                   std::strerror(errno));
      std::fclose(dump);
      dump = nullptr;
      dump_failed = true;
    }
    if (hashes != nullptr)
      std::fprintf(hashes, "picture %lld %u %ux%u %016llx\n", static_cast<long long>(MonotonicUs()),
                   h.frame_index, h.width, h.height,
                   static_cast<unsigned long long>(Fnv1a(picture)));
    if (total > 0 && h.frame_index != last + 1) ++gaps;
    last = h.frame_index;
    ++total;
    ++in_second;
    if (show) window.Show(h, picture);
    if (y4m != nullptr && converter.Convert(picture, h.width, h.height, &i420)) {
      if (!y4m_header) {
        std::fprintf(y4m, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg\n", h.width, h.height, o.fps);
        y4m_header = true;
      }
      std::fputs("FRAME\n", y4m);
      std::fwrite(i420.data(), 1, i420.size(), y4m);
    }
  }
  plugin->StopChan();
  plugin->SetTcpOper(nullptr);
  if (y4m != nullptr) std::fclose(y4m);
  if (dump != nullptr && std::fclose(dump) != 0) dump_failed = true;
  if (hashes != nullptr && std::fclose(hashes) != 0) dump_failed = true;
  std::chrono::duration<double> took = Clock::now() - start;
  std::printf(
      "pellion-host: %d pictures in %.1f s, %d index gaps, %d torn, %d key-frame requests "
      "(%d sent), %d restarts\n",
      total, took.count(), gaps, static_cast<int>(stats.torn()), sender.requests(), sender.sent(),
      restarts);
  std::printf("pellion-host: %s\n", stats.Summary().c_str());
  const Resources after = restarts > 0 ? Resources::Settled() : Resources::Now();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "pellion-host: threads %ld -> %ld, descriptors %ld -> %ld, max RSS %ld KiB (counted from "
      "%s)\n",
      before.threads, after.threads, before.descriptors, after.descriptors, usage.ru_maxrss,
      restarts > 0 ? "the first stop" : "before the start");
  return total > 0 && !dump_failed ? 0 : 1;
}

int RunMirror(IAVStreamInterface* plugin, const Options& o) {
  if (std::getenv("DISPLAY") == nullptr) {
    std::fprintf(stderr, "pellion-host: --mirror needs an X display\n");
    return 1;
  }
  Window window;
  if (!window.Open()) return 1;
  window.WatchWindowMessages();
  const unsigned long parent = window.X11Id();
  std::printf("pellion-host: window 0x%lx, starting the mirror (adb, then the window search)\n",
              parent);
  std::fflush(stdout);
  HWND mirror = plugin->StartScrcpy(reinterpret_cast<HWND>(static_cast<uintptr_t>(parent)),
                                    kMirrorEndMessage);
  if (mirror == nullptr) {
    std::printf("pellion-host: the mirror did not start (the plug-in's log says why)\n");
    plugin->StopScrcpy();
    return 1;
  }
  bool visible = true;
  plugin->ShowScrcpy(visible);
  std::printf("pellion-host: mirror window 0x%lx embedded; M shows or hides it\n",
              static_cast<unsigned long>(reinterpret_cast<uintptr_t>(mirror)));
  std::fflush(stdout);
  const auto start = Clock::now();
  while (!g_stop) {
    if (o.seconds > 0 && Clock::now() - start >= std::chrono::duration<double>(o.seconds)) break;
    Window::MirrorEvents events = window.PumpMirror(kMirrorEndMessage, 50);
    if (events.quit) break;
    if (events.toggle) {
      visible = !visible;
      plugin->ShowScrcpy(visible);
      std::printf("pellion-host: mirror %s\n", visible ? "shown" : "hidden");
    }
    if (events.ended) std::printf("pellion-host: the mirror has ended\n");
    std::fflush(stdout);
  }
  plugin->StopScrcpy();
  std::printf("pellion-host: mirror stopped\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Loads the Pellion plug-in, starts its video channel and shows (or writes, or "
      "counts) the published pictures."};
  Options o;
  app.add_option("--module", o.module,
                 "path of Pellion.so (default: beside this program, else the installed one)");
  app.set_version_flag("--version", "pellion-host " PELLION_VERSION);
  app.add_option("--sender-host", o.sender_host, "where key-frame requests go")
      ->capture_default_str();
  app.add_option("--sender-port", o.sender_port, "TCP port of the sender's request link")
      ->capture_default_str();
  app.add_option("--y4m", o.y4m, "write the pictures to this Y4M file instead of a window");
  app.add_option("--dump", o.dump,
                 "write every picture read to this file: u32 frame index, u16 width, u16 height, "
                 "u32 byte count (little-endian), then the NV12 bytes");
  app.add_option("--hashes", o.hashes,
                 "write a line per picture read: time (us, monotonic), frame index, size and a "
                 "64-bit FNV-1a of the NV12 bytes; and a line per restart");
  app.add_option("--restart-every", o.restart_every,
                 "stop and start the channel every this many seconds");
  app.add_flag("--headless", o.headless, "count the pictures only (no window)");
  app.add_option("--frames", o.frames, "stop after this many pictures");
  app.add_option("--seconds", o.seconds, "stop after this many seconds");
  app.add_option("--fps", o.fps, "frame rate written in the Y4M header")->capture_default_str();
  app.add_option("--cycles", o.cycles, "only start and stop the channel this many times");
  app.add_flag("--leave-running", o.leave_running,
               "start the channel and exit without stopping it (a host that forgets)");
  app.add_flag("--mirror", o.mirror,
               "embed the phone-screen mirror in the window instead of running the channel (M "
               "shows or hides it; --seconds S stops it)");
  CLI11_PARSE(app, argc, argv);

  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  IAVStreamInterface* plugin = LoadPlugin(o.module);
  if (plugin == nullptr) return 1;
  std::printf("pellion-host: loaded %s\n", o.module.c_str());
  if (o.leave_running) {
    int32_t started = plugin->StartChan();
    std::printf("pellion-host: StartChan=%d, exiting without StopChan\n", started);
    return started == 1 ? 0 : 1;
  }
  if (o.cycles > 0) return RunCycles(plugin, o.cycles);
  if (o.mirror) return RunMirror(plugin, o);
  return RunChannel(plugin, o);
}
