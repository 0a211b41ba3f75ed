// The mirroring controller on Win32: stand-ins for adb (beside the host executable) and the
// mirroring tool (beside the module), a host window made by this test, real top-level windows.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "adb_scrcpy.h"
#include "common/wait.h"
#include "file/path.h"
#include "log/log_capture.h"
#include "subsystem/ProcessHelper.h"

namespace {

namespace fs = std::filesystem;
using NORV::sSubSystem::ProcessHelper;
using testing_util::WaitUntil;

const std::string kPid = std::to_string(GetCurrentProcessId());

LRESULT CALLBACK HostProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

class MirrorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const fs::path& dir : {module_dir_, host_dir_}) {
      fs::create_directories(dir / "scrcpy");
      fs::copy_file(STANDIN_PATH, dir / "scrcpy" / "adb.exe");
    }
    fs::copy_file(STANDIN_PATH, module_dir_ / "scrcpy" / tool_name_);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"PellionTestHost";
    RegisterClassExW(&wc);
    host_ = CreateWindowExW(0, L"PellionTestHost", L"host", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600,
                            nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(host_, nullptr) << "no window: is there a display?";
    // A child is visible only inside a visible parent.
    ShowWindow(host_, SW_SHOW);
  }
  void TearDown() override {
    if (mirror_) mirror_->Stop();
    mirror_.reset();
    ProcessHelper::KillProcessByName(tool_name_.c_str());
    if (host_ != nullptr) DestroyWindow(host_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  AdbScrcpy& Mirror() {
    AdbScrcpy::Options options;
    options.module_path = NORV::sFileManager::ToWide((module_dir_ / "Pellion.dll").string());
    options.exe_path = NORV::sFileManager::ToWide((host_dir_ / "host.exe").string());
    options.command_format = "scrcpy\\" + tool_name_ +
                             " --no-clean --force-adb-forward --tunnel-host=%s  --tunnel-port=%d";
    options.leftover_name = tool_name_;
    options.search_pause_ms = 100;
    mirror_ = std::make_unique<AdbScrcpy>(options);
    return *mirror_;
  }

  // The next message posted to the host window, pumping this thread meanwhile.
  bool NextHostMessage(MSG* out, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitUntil([&] { return PeekMessageW(out, host_, WM_USER, 0xBFFF, PM_REMOVE) != 0; },
                     timeout);
  }

  const fs::path root_ = fs::temp_directory_path() / ("pellion mirror " + kPid);
  const fs::path module_dir_ = root_ / "module dir";
  const fs::path host_dir_ = root_ / "host dir";
  const std::string tool_name_ = "mirror-tool-" + kPid + ".exe";
  HWND host_ = nullptr;
  NORV::sLog::LogCapture log_;
  std::unique_ptr<AdbScrcpy> mirror_;
};

TEST_F(MirrorTest, EmbedsTheToolsWindowInTheHostAndShowTogglesIt) {
  AdbScrcpy& mirror = Mirror();
  HWND window = mirror.Start(host_, 0x8000);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(log_.Count("connect adb 1"), 1u);
  EXPECT_EQ(GetParent(window), host_);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  EXPECT_EQ(owner, ProcessHelper::FindProcessIdByName(tool_name_.c_str()));
  EXPECT_EQ(GetWindowLongPtrW(window, GWL_STYLE) & WS_CAPTION, 0) << "no frame once embedded";

  mirror.Show(true);
  EXPECT_TRUE(IsWindowVisible(window));
  mirror.Show(false);
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(mirror.Start(host_, 0x8000), window) << "a standing mirror is kept";
}

TEST_F(MirrorTest, TheToolsEndReachesTheHostWindowAndStopKillsOnlyTheTool) {
  AdbScrcpy& mirror = Mirror();
  HWND window = mirror.Start(host_, 0x400);
  ASSERT_NE(window, nullptr);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  ASSERT_EQ(ProcessHelper::TerminateProcessById(pid), 1);
  MSG msg;
  ASSERT_TRUE(NextHostMessage(&msg));
  EXPECT_EQ(msg.message, 0x400u);
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_EQ(msg.lParam, 0);

  HWND second = mirror.Start(host_, 0x400);
  ASSERT_NE(second, nullptr);
  mirror.Stop();
  EXPECT_EQ(ProcessHelper::FindProcessIdByName(tool_name_.c_str()), 0u);
  EXPECT_TRUE(IsWindow(host_));
}

TEST_F(MirrorTest, AnAdbThatCannotConnectLaunchesNothing) {
  AdbScrcpy& mirror = Mirror();
  fs::remove(host_dir_ / "scrcpy" / "adb.exe");
  EXPECT_EQ(mirror.Start(host_, 0x400), nullptr);
  EXPECT_EQ(log_.Count("connect adb 0"), 1u);
  EXPECT_EQ(ProcessHelper::FindProcessIdByName(tool_name_.c_str()), 0u);
}

}  // namespace
