// The mirroring controller under Xvfb, with stand-ins for adb (beside a host executable) and the
// mirroring tool (beside a module) in two different folders, as a host has them.
#include "adb_scrcpy.h"

#include <signal.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "adb/mirror_test_util.h"
#include "common/wait.h"
#include "common/xvfb_env.h"
#include "file/path.h"
#include "log/log_capture.h"
#include "platform/event.h"

namespace {

using namespace mirror_test;
using NORV::sSubSystem::ProcessHelper;
using NORV::sSubSystem::ProcessInformation;

// For every suite of this binary whose name begins with "Mirror".
[[maybe_unused]] ::testing::Environment* const kXvfb =
    ::testing::AddGlobalTestEnvironment(new testing_util::XvfbEnvironment("Mirror"));

class MirrorControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(host_.display(), nullptr);
    host_window_ = HostWindow(host_);
    InstallAdb(host_dir_, adb_record_, "connected to 192.168.42.11:5555\n");
  }
  void TearDown() override {
    if (mirror_) mirror_->Stop();
    mirror_.reset();
    ProcessHelper::KillProcessByName(tool_name_.c_str());
  }

  // The tool is named after this test process, so that the kill of leftovers cannot reach
  // the tools of tests running beside it. The search is shortened unless told otherwise.
  AdbScrcpy& Mirror(int64_t search_pause_ms = 100) {
    AdbScrcpy::Options options;
    options.module_path = NORV::sFileManager::ToWide((module_dir_ / "Pellion.so").string());
    options.exe_path = NORV::sFileManager::ToWide((host_dir_ / "host").string());
    options.leftover_name = tool_name_;
    options.search_pause_ms = search_pause_ms;
    mirror_ = std::make_unique<AdbScrcpy>(options);
    return *mirror_;
  }
  HWND host() const { return H(host_window_); }
  // Client messages the host got so far are dropped.
  void DropClientMessages() {
    XClientMessageEvent event{};
    while (host_.NextClientMessage(&event, 0ms)) {
    }
  }

  ScratchDir dir_;
  const fs::path module_dir_ = dir_.path() / "module dir";
  const fs::path host_dir_ = dir_.path() / "host dir";
  const fs::path adb_record_ = dir_.path() / "adb-record";
  const std::string tool_name_ = "mirror-tool-" + std::to_string(getpid());
  const fs::path tool_program_ = dir_.path() / "bin" / tool_name_;
  testing_util::XClient host_;
  Window host_window_ = 0;
  NORV::sLog::LogCapture log_;
  std::unique_ptr<AdbScrcpy> mirror_;
};

TEST_F(MirrorControllerTest, EmbedsTheToolsWindowHiddenAndShowTogglesIt) {
  ToolStandIn tool(module_dir_, tool_program_);
  AdbScrcpy& mirror = Mirror();
  mirror.Show(true);
  EXPECT_EQ(log_.Count("visible:[true] ret:[false]"), 1u) << "nothing to show yet";

  HWND window = mirror.Start(host(), 0x8000);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(tool.Arguments(), kToolArguments);
  EXPECT_EQ(AdbArguments(adb_record_), (std::vector<std::string>{"connect", "192.168.42.11:5555"}));
  EXPECT_EQ(static_cast<platform::DWORD>(Owner(window)),
            ProcessHelper::FindProcessIdByName(tool_name_.c_str()));
  EXPECT_EQ(host_.Parent(W(window)), host_window_);
  XWindowAttributes a = host_.Attributes(W(window));
  EXPECT_EQ(a.width, 320);
  EXPECT_EQ(a.height, 240);
  EXPECT_EQ(a.map_state, IsUnmapped);

  mirror.Show(true);
  EXPECT_EQ(host_.Attributes(W(window)).map_state, IsViewable);
  mirror.Show(false);
  EXPECT_EQ(host_.Attributes(W(window)).map_state, IsUnmapped);

  EXPECT_EQ(mirror.Start(host(), 0x8000), window);
  EXPECT_EQ(tool.launches(), 1u);
  EXPECT_EQ(log_.Count("connect adb "), 1u);
}

// After the tool's end and after a Stop alike, a new Start relaunches it, embedded and watched.
TEST_F(MirrorControllerTest, ToolsEndReachesTheHostWindowAndANewStartRelaunches) {
  ToolStandIn tool(module_dir_, tool_program_);
  AdbScrcpy& mirror = Mirror();
  HWND first = mirror.Start(host(), 0x400);
  ASSERT_NE(first, nullptr);
  const pid_t first_pid = Owner(first);
  ASSERT_GT(first_pid, 0);
  kill(first_pid, SIGKILL);
  ExpectEndNotice(host_, host_window_, 0x400);
  EXPECT_TRUE(log_.WaitFor("post killed to scrcpy parent:"));

  HWND second = mirror.Start(host(), 0x400);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(tool.launches(), 2u);
  EXPECT_NE(Owner(second), first_pid);
  EXPECT_EQ(host_.Parent(W(second)), host_window_);
  const pid_t second_pid = Owner(second);
  mirror.Stop();
  EXPECT_TRUE(ProcessReaped(second_pid));
  EXPECT_EQ(mirror.thread_id(), 0u);
  // The kill by Stop may have been reported like any end.
  DropClientMessages();

  HWND third = mirror.Start(host(), 0x400);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(tool.launches(), 3u);
  EXPECT_EQ(host_.Parent(W(third)), host_window_);
  kill(Owner(third), SIGKILL);
  ExpectEndNotice(host_, host_window_, 0x400);
}

TEST_F(MirrorControllerTest, EndNoticeIsDroppedBelowWmUserAndWithoutAParent) {
  ToolStandIn tool(module_dir_, tool_program_);
  AdbScrcpy& mirror = Mirror();
  size_t ends = 0;
  for (auto [parent, message] : {std::pair{host(), 0x3FFu}, std::pair{HWND{}, 0x8000u}}) {
    HWND window = mirror.Start(parent, message);
    ASSERT_NE(window, nullptr);
    kill(Owner(window), SIGKILL);
    ASSERT_TRUE(log_.WaitFor("PID:0 w:0", ++ends));
    // Joins the worker: whatever it was to post has been sent.
    mirror.Stop();
  }
  XClientMessageEvent event{};
  EXPECT_FALSE(host_.NextClientMessage(&event, 0ms));
  EXPECT_EQ(log_.Count("post killed to scrcpy parent:"), 0u);
  EXPECT_EQ(log_.Count("SetTopLevelAsChild"), 1u) << "no parent, no embedding";
}

TEST_F(MirrorControllerTest, AdbFailureLaunchesNothing) {
  ToolStandIn tool(module_dir_, tool_program_);
  InstallAdb(host_dir_, adb_record_, "failed to connect to '192.168.42.11:5555': No route\n");
  AdbScrcpy& mirror = Mirror();
  EXPECT_EQ(mirror.Start(host(), 0x400), nullptr);
  EXPECT_EQ(tool.launches(), 0u);
  EXPECT_EQ(log_.Count("connect adb 0"), 1u);
  EXPECT_EQ(mirror.thread_id(), 0u);
}

TEST_F(MirrorControllerTest, WithoutItsWindowStartGivesUpAfterTheSearchAndStopKillsTheTool) {
  ToolStandIn tool(module_dir_, tool_program_, "--no-window");
  // Another program's window with the very words searched for is never taken.
  Window decoy = HostWindow(host_, "SDL_app", "Vex_KVT300", getpid());
  AdbScrcpy& mirror = Mirror(AdbScrcpy::Options{}.search_pause_ms);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(mirror.Start(host(), 0x400), nullptr);
  int64_t took = testing_util::MillisSince(start);
  EXPECT_GE(took, 3000);
  EXPECT_LT(took, 10000);
  EXPECT_EQ(host_.Parent(decoy), DefaultRootWindow(host_.display()));
  EXPECT_EQ(mirror.thread_id(), 0u);
  EXPECT_EQ(log_.Count("create ProcessMonitorThread"), 0u);

  const platform::DWORD pid = ProcessHelper::FindProcessIdByName(tool_name_.c_str());
  ASSERT_NE(pid, 0u) << "the tool is left running";
  mirror.Stop();
  EXPECT_TRUE(ProcessReaped(static_cast<pid_t>(pid)));
}

TEST_F(MirrorControllerTest, ALeftoverToolIsKilledBeforeTheLaunch) {
  ToolStandIn tool(module_dir_, tool_program_);
  ProcessInformation leftover;
  std::string line = ProcessHelper::QuoteProgram(tool_program_.string()) + " --no-window";
  ASSERT_NE(
      ProcessHelper::CreateProcessW(nullptr, line.c_str(), 0, false, nullptr, &leftover, nullptr),
      0u);
  HWND window = Mirror().Start(host(), 0x400);
  ASSERT_NE(window, nullptr) << "the launched tool itself survived";
  EXPECT_EQ(leftover.process.Wait(0), platform::kWaitObject0);
}

TEST_F(MirrorControllerTest, AToolThatEndedBeforeItsWindowIsReaped) {
  ToolStandIn tool(module_dir_, tool_program_, "--no-window --exit-after-ms 0");
  AdbScrcpy& mirror = Mirror(500);
  EXPECT_EQ(mirror.Start(host(), 0x400), nullptr);
  EXPECT_EQ(tool.launches(), 1u);
  EXPECT_EQ(testing_util::ZombieChildren(), std::vector<pid_t>{});
}

TEST_F(MirrorControllerTest, AStopDuringAdbKillsItAndTheStartLaunchesNothing) {
  const fs::path adb_pid = dir_.path() / "adb-pid";
  WriteScript(host_dir_ / "scrcpy" / "adb",
              "echo $$ > " + Quote(adb_pid) + "\nexec " + Quote(FAKE_CMD_PATH) + " --hang");
  ToolStandIn tool(module_dir_, tool_program_);
  AdbScrcpy& mirror = Mirror();
  std::atomic<HWND> started{reinterpret_cast<HWND>(1)};
  std::jthread host_thread([&] { started = mirror.Start(host(), 0x400); });
  ASSERT_TRUE(testing_util::WaitUntil([&] { return ReadLines(adb_pid).size() == 1; }));
  const pid_t adb = std::stoi(ReadLines(adb_pid)[0]);
  auto begin = std::chrono::steady_clock::now();
  mirror.Stop();
  EXPECT_LT(testing_util::MillisSince(begin), 10000) << "not the 30 s limit";
  EXPECT_EQ(log_.Count("connect adb 0"), 1u) << "Stop returns once the Start has given up";
  host_thread.join();
  EXPECT_EQ(started.load(), nullptr);
  EXPECT_TRUE(testing_util::WaitUntil([&] { return ProcessGone(adb); }));
  EXPECT_EQ(tool.launches(), 0u);
  EXPECT_EQ(log_.Count("adb cancelled: killed it and its group"), 1u);
  EXPECT_EQ(mirror.thread_id(), 0u);
}

TEST_F(MirrorControllerTest, AStopDuringTheWindowSearchKillsTheToolAndShowNeverWaits) {
  ToolStandIn tool(module_dir_, tool_program_, "--no-window");
  AdbScrcpy& mirror = Mirror(60000);
  std::atomic<HWND> started{reinterpret_cast<HWND>(1)};
  std::jthread host_thread([&] { started = mirror.Start(host(), 0x400); });
  platform::DWORD pid = 0;
  ASSERT_TRUE(testing_util::WaitUntil([&] {
    pid = ProcessHelper::FindProcessIdByName(tool_name_.c_str());
    return pid != 0;
  }));
  // Show acts on a completed Start only: no window yet, and no wait behind the search.
  auto begin = std::chrono::steady_clock::now();
  mirror.Show(true);
  EXPECT_LT(testing_util::MillisSince(begin), 10000);
  EXPECT_EQ(log_.Count("Show HWND 0 visible:[true] ret:[false]"), 1u);

  begin = std::chrono::steady_clock::now();
  mirror.Stop();
  EXPECT_LT(testing_util::MillisSince(begin), 10000) << "the search's pause ends at once";
  EXPECT_TRUE(ProcessReaped(static_cast<pid_t>(pid)))
      << "the Start killed its tool before Stop returned";
  host_thread.join();
  EXPECT_EQ(started.load(), nullptr);
  EXPECT_EQ(mirror.thread_id(), 0u);
  EXPECT_EQ(log_.Count("create ProcessMonitorThread"), 0u);

  // A later Start is not cancelled by the Stop that came before it.
  ToolStandIn working(module_dir_, tool_program_);
  EXPECT_NE(Mirror().Start(host(), 0x400), nullptr);
}

TEST_F(MirrorControllerTest, AFailedReparentingLeavesTheDecorationsAsTheyWere) {
  Display* d = host_.display();
  const Atom hints = XInternAtom(d, "_MOTIF_WM_HINTS", False);
  auto read_hints = [&](Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<long> out;
    XGetWindowProperty(d, w, hints, 0, 16, False, AnyPropertyType, &type, &format, &count, &after,
                       &data);
    if (data != nullptr && format == 32)
      out.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + count);
    if (data != nullptr) XFree(data);
    return std::make_pair(type != 0, out);
  };
  Window gone = HostWindow(host_);
  XDestroyWindow(d, gone);
  XSync(d, False);

  Window plain = HostWindow(host_, "Tool", "Tool");
  EXPECT_FALSE(AdbScrcpy::SetTopLevelAsChild(H(plain), H(gone)));
  EXPECT_FALSE(read_hints(plain).first) << "no hints before, none after";

  Window styled = HostWindow(host_, "Tool", "Tool");
  long own[5] = {2, 0, 1, 0, 0};
  XChangeProperty(d, styled, hints, hints, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(own), 5);
  XSync(d, False);
  EXPECT_FALSE(AdbScrcpy::SetTopLevelAsChild(H(styled), H(gone)));
  EXPECT_EQ(read_hints(styled).second, (std::vector<long>{2, 0, 1, 0, 0}));

  Window embedded = HostWindow(host_, "Tool", "Tool");
  EXPECT_TRUE(AdbScrcpy::SetTopLevelAsChild(H(embedded), host()));
  EXPECT_EQ(read_hints(embedded).second, (std::vector<long>{2, 0, 0, 0, 0}));
}

}  // namespace
