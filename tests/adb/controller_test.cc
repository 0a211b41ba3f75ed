// The mirroring controller under Xvfb, with stand-ins for adb (beside a host executable) and the
// mirroring tool (beside a module) in two different folders, as a host has them.
#include "adb_scrcpy.h"

#include <signal.h>

#include <memory>
#include <sstream>

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
    host_window_ = host_.CreateWindow();
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
  HostClient host_;
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
  EXPECT_EQ(static_cast<platform::DWORD>(host_.Owner(window)),
            ProcessHelper::FindProcessIdByName(tool_name_.c_str()));
  EXPECT_EQ(host_.Parent(window), host_window_);
  XWindowAttributes a = host_.Attributes(window);
  EXPECT_EQ(a.width, 320);
  EXPECT_EQ(a.height, 240);
  EXPECT_EQ(a.map_state, IsUnmapped);
  EXPECT_EQ(log_.Count("SetTopLevelAsChild [true]"), 1u);

  mirror.Show(true);
  EXPECT_EQ(host_.Attributes(window).map_state, IsViewable);
  std::ostringstream line;
  line << "Show HWND " << static_cast<const void*>(window) << " visible:[true] ret:[true]";
  EXPECT_EQ(log_.Count(line.str()), 1u);
  mirror.Show(false);
  EXPECT_EQ(host_.Attributes(window).map_state, IsUnmapped);

  EXPECT_EQ(mirror.Start(host(), 0x8000), window);
  EXPECT_EQ(tool.launches(), 1u);
  EXPECT_EQ(log_.Count("connect adb "), 1u);
}

TEST_F(MirrorControllerTest, ToolsEndReachesTheHostWindowAndANewStartRelaunches) {
  ToolStandIn tool(module_dir_, tool_program_);
  AdbScrcpy& mirror = Mirror();
  HWND first = mirror.Start(host(), 0x400);
  ASSERT_NE(first, nullptr);
  const pid_t first_pid = host_.Owner(first);
  ASSERT_GT(first_pid, 0);

  kill(first_pid, SIGKILL);
  XClientMessageEvent event{};
  ASSERT_TRUE(host_.NextClientMessage(&event));
  EXPECT_EQ(event.window, host_window_);
  EXPECT_EQ(event.message_type, XInternAtom(host_.display(), "NORV_WINDOW_MESSAGE", False));
  EXPECT_EQ(event.data.l[0], 0x400);
  EXPECT_EQ(event.data.l[1], 1);
  EXPECT_EQ(event.data.l[2], 0);
  EXPECT_TRUE(log_.WaitFor("post killed to scrcpy parent:"));
  EXPECT_EQ(log_.Count("[true] w:0 l:0"), 1u);

  HWND second = mirror.Start(host(), 0x400);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(tool.launches(), 2u);
  EXPECT_NE(host_.Owner(second), first_pid);
  EXPECT_EQ(host_.Parent(second), host_window_);
}

TEST_F(MirrorControllerTest, EndNoticeIsDroppedBelowWmUserAndWithoutAParent) {
  ToolStandIn tool(module_dir_, tool_program_);
  AdbScrcpy& mirror = Mirror();
  size_t ends = 0;
  for (auto [parent, message] : {std::pair{host(), 0x3FFu}, std::pair{HWND{}, 0x8000u}}) {
    HWND window = mirror.Start(parent, message);
    ASSERT_NE(window, nullptr);
    kill(host_.Owner(window), SIGKILL);
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
  Window decoy = host_.CreateWindow("SDL_app", "Vex_KVT300", getpid());
  AdbScrcpy& mirror = Mirror(AdbScrcpy::Options{}.search_pause_ms);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(mirror.Start(host(), 0x400), nullptr);
  int64_t took = testing_util::MillisSince(start);
  EXPECT_GE(took, 3000);
  EXPECT_LT(took, 10000);
  EXPECT_EQ(host_.Parent(H(decoy)), DefaultRootWindow(host_.display()));
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

TEST_F(MirrorControllerTest, StopThenStartGivesAFreshWorkingMirror) {
  ToolStandIn tool(module_dir_, tool_program_);
  AdbScrcpy& mirror = Mirror();
  HWND first = mirror.Start(host(), 0x400);
  ASSERT_NE(first, nullptr);
  const pid_t first_pid = host_.Owner(first);
  mirror.Stop();
  EXPECT_TRUE(ProcessReaped(first_pid));
  EXPECT_EQ(mirror.thread_id(), 0u);
  // The kill by Stop may have been reported like any end.
  DropClientMessages();

  HWND second = mirror.Start(host(), 0x400);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(tool.launches(), 2u);
  EXPECT_EQ(host_.Parent(second), host_window_);
  kill(host_.Owner(second), SIGKILL);
  XClientMessageEvent event{};
  ASSERT_TRUE(host_.NextClientMessage(&event));
  EXPECT_EQ(event.data.l[0], 0x400);
  EXPECT_EQ(event.data.l[1], 1);
}

}  // namespace
