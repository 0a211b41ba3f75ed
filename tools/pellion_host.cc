// pellion-host: what a host application does with the plug-in, as a program. It loads
// Pellion.so by path, gives it a sender for key-frame requests, starts the channel and shows
// the published pictures in a window, writes them as Y4M, or counts them. With --mirror it
// embeds the phone-screen mirror in its window instead.
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

// Before SDL's X11 headers (window.h), which define Success and others as macros.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/dump_sink.h"
#include "host/file.h"
#include "host/hash_sink.h"
#include "host/link_sender.h"
#include "host/window.h"
#include "host/y4m_sink.h"
#include "pellion/frame_section.h"
#include "pellion/pellion.h"
#include "read_stats.h"

namespace {

using pellion_tools::LinkSender;
using pellion_tools::PictureSink;
using pellion_tools::Window;

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

// The sinks of a run. One that fails is dropped, and the run ends with exit code 1.
class Sinks {
 public:
  void Add(std::unique_ptr<PictureSink> sink) { sinks_.push_back(std::move(sink)); }
  bool Pump() {
    for (auto& sink : sinks_)
      if (!sink->Pump()) return false;
    return true;
  }
  void Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) {
    for (auto it = sinks_.begin(); it != sinks_.end();) {
      if ((*it)->Take(h, nv12)) {
        ++it;
        continue;
      }
      failed_ = true;
      it = sinks_.erase(it);
    }
  }
  void Restarting() {
    for (auto& sink : sinks_) sink->Restarting();
  }
  // True when every sink kept and closed all it was given.
  bool Finish() {
    for (auto& sink : sinks_)
      if (!sink->Finish()) failed_ = true;
    sinks_.clear();
    return !failed_;
  }

 private:
  std::vector<std::unique_ptr<PictureSink>> sinks_;
  bool failed_ = false;
};

// Adds a sink writing `path` when the option names one; false (said on stderr) when it cannot.
template <class Sink, class... Args>
bool AddFileSink(Sinks* sinks, const std::string& path, const char* mode, Args... args) {
  if (path.empty()) return true;
  pellion_tools::File f = pellion_tools::File::Open(path, mode);
  if (!f) {
    pellion_tools::SayCannotWrite("pellion-host", path);
    return false;
  }
  sinks->Add(std::make_unique<Sink>("pellion-host", path, std::move(f), args...));
  return true;
}

// The window when there is a display and nothing else to write; then the files asked for.
bool OpenSinks(const Options& o, Sinks* sinks, bool* show) {
  *show = false;
  if (!o.headless && o.y4m.empty() && std::getenv("DISPLAY") != nullptr) {
    auto window = std::make_unique<Window>();
    if (window->Open()) {
      std::printf("pellion-host: window 0x%lx\n", window->X11Id());
      sinks->Add(std::move(window));
      *show = true;
    }
  }
  return AddFileSink<pellion_tools::Y4mSink>(sinks, o.y4m, "wb", o.fps) &&
         AddFileSink<pellion_tools::DumpSink>(sinks, o.dump, "wb") &&
         AddFileSink<pellion_tools::HashSink>(sinks, o.hashes, "w");
}

// One run of the channel: reads the pictures into the sinks and counts them.
class ChannelRun {
 public:
  ChannelRun(IAVStreamInterface* plugin, const Options& o, const LinkSender& sender,
             pellion::FrameReader& reader, Sinks& sinks)
      : plugin_(plugin), o_(o), sender_(sender), reader_(reader), sinks_(sinks) {}
  bool Start(const char* what);
  void Loop();
  // Stops the channel and closes the sinks; the exit code.
  int Stop();

 private:
  bool Restart();
  void ReportSecond(Clock::time_point now);
  void ReadOne();
  void Report();

  IAVStreamInterface* const plugin_;
  const Options& o_;
  const LinkSender& sender_;
  pellion::FrameReader& reader_;
  Sinks& sinks_;
  Resources before_;
  std::vector<uint8_t> picture_;
  pellion::FrameHeader h_;
  pellion_tools::ReadStats stats_;
  int total_ = 0, in_second_ = 0, gaps_ = 0, restarts_ = 0;
  uint32_t last_ = 0;
  Clock::time_point start_, second_, restarted_;
};

bool ChannelRun::Start(const char* what) {
  before_ = Resources::Now();
  if (plugin_->StartChan() != 1) {
    std::fprintf(stderr, "pellion-host: StartChan failed\n");
    return false;
  }
  std::printf("pellion-host: channel started, %s\n", what);
  std::fflush(stdout);
  return true;
}

void ChannelRun::Loop() {
  start_ = second_ = restarted_ = Clock::now();
  while (!g_stop && (o_.frames == 0 || total_ < o_.frames)) {
    const auto now = Clock::now();
    if (o_.seconds > 0 && now - start_ >= std::chrono::duration<double>(o_.seconds)) break;
    if (o_.restart_every > 0 &&
        now - restarted_ >= std::chrono::duration<double>(o_.restart_every) && !Restart())
      break;
    if (now - second_ >= std::chrono::seconds(1)) ReportSecond(now);
    if (!sinks_.Pump()) break;
    if (reader_.Wait(50)) ReadOne();
  }
}

bool ChannelRun::Restart() {
  plugin_->StopChan();
  // What the module keeps between runs (its loops, the log's threads) is no leak: count from
  // the first stop.
  if (restarts_ == 0) before_ = Resources::Settled();
  sinks_.Restarting();
  if (plugin_->StartChan() != 1) {
    std::fprintf(stderr, "pellion-host: StartChan failed on restart %d\n", restarts_ + 1);
    return false;
  }
  ++restarts_;
  restarted_ = Clock::now();
  return true;
}

void ChannelRun::ReportSecond(Clock::time_point now) {
  std::printf(
      "pellion-host: %d pictures/s (%d in all), %d index gaps, %d torn, %d key-frame "
      "requests (%d sent)\n",
      in_second_, total_, gaps_, static_cast<int>(stats_.torn()), sender_.requests(),
      sender_.sent());
  std::fflush(stdout);
  in_second_ = 0;
  second_ = now;
}

void ChannelRun::ReadOne() {
  pellion::FramePublication info;
  const pellion::ReadResult result = reader_.ReadWhole(&h_, &picture_, &info);
  // The section and its signal outlive processes: a picture another process left there is not
  // one of this run's plug-in.
  if (result == pellion::ReadResult::kGood && info.has_record &&
      info.writer_id != static_cast<uint32_t>(getpid()))
    return;
  // A torn copy is no picture the plug-in published: it is counted, and goes nowhere.
  if (!stats_.Count(result, info)) return;
  if (total_ > 0 && h_.frame_index != last_ + 1) ++gaps_;
  last_ = h_.frame_index;
  ++total_;
  ++in_second_;
  sinks_.Take(h_, picture_);
}

int ChannelRun::Stop() {
  plugin_->StopChan();
  plugin_->SetTcpOper(nullptr);
  const bool kept = sinks_.Finish();
  Report();
  return total_ > 0 && kept ? 0 : 1;
}

void ChannelRun::Report() {
  std::chrono::duration<double> took = Clock::now() - start_;
  std::printf(
      "pellion-host: %d pictures in %.1f s, %d index gaps, %d torn, %d key-frame requests "
      "(%d sent), %d restarts\n",
      total_, took.count(), gaps_, static_cast<int>(stats_.torn()), sender_.requests(),
      sender_.sent(), restarts_);
  std::printf("pellion-host: %s\n", stats_.Summary().c_str());
  const Resources after = restarts_ > 0 ? Resources::Settled() : Resources::Now();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf(
      "pellion-host: threads %ld -> %ld, descriptors %ld -> %ld, max RSS %ld KiB (counted from "
      "%s)\n",
      before_.threads, after.threads, before_.descriptors, after.descriptors, usage.ru_maxrss,
      restarts_ > 0 ? "the first stop" : "before the start");
}

int RunChannel(IAVStreamInterface* plugin, const Options& o) {
  LinkSender sender(o.sender_host, o.sender_port);
  plugin->SetTcpOper(&sender);  // before StartChan, while the channel is stopped
  // The plug-in never keeps a sender that is gone, whichever way this returns.
  struct Detach {
    IAVStreamInterface* plugin;
    ~Detach() { plugin->SetTcpOper(nullptr); }
  } detach{plugin};
  pellion::FrameReader reader;
  if (!reader.Open()) {
    std::fprintf(stderr, "pellion-host: cannot open the frame section: %s\n",
                 std::strerror(reader.error()));
    return 1;
  }
  Sinks sinks;
  bool show = false;
  if (!OpenSinks(o, &sinks, &show)) return 1;
  ChannelRun run(plugin, o, sender, reader, sinks);
  if (!run.Start(show ? "showing pictures" : !o.y4m.empty() ? "writing Y4M" : "counting pictures"))
    return 1;
  run.Loop();
  return run.Stop();
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
