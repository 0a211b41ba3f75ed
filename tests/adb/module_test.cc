// Slots 3 to 5 of the module as a host drives them. The module is copied into a folder of its own
// with the tool's stand-in beside it, and the host is a copy of this test binary in another
// folder with adb's stand-in beside it: the two folders differ, as they do for a real host.
#include <dlfcn.h>
#include <signal.h>

#include <cstdlib>

#include "adb/mirror_test_util.h"
#include "common/wait.h"
#include "pellion/pellion.h"
#include "platform/process.h"

namespace {

using namespace mirror_test;

constexpr char kRootVariable[] = "PELLION_MIRROR_MODULE_ROOT";

fs::path ModuleDir(const fs::path& root) { return root / "module dir"; }
fs::path HostDir(const fs::path& root) { return root / "host dir"; }
fs::path ToolProgram(const fs::path& root) { return root / "bin" / "scrcpy"; }

TEST(MirrorModuleTest, SlotsThreeToFiveDriveTheMirror) {
  ScratchDir dir;
  const fs::path& root = dir.path();
  CopyProgram(PELLION_MODULE_PATH, ModuleDir(root) / "Pellion.so");
  ToolStandIn tool(ModuleDir(root), ToolProgram(root));
  const fs::path host = HostDir(root) / "adb_tests";
  CopyProgram(fs::read_symlink("/proc/self/exe"), host);
  InstallAdb(HostDir(root), root / "adb-record", "connected to 192.168.42.11:5555\n");

  std::string command = std::string(kRootVariable) + "=" + Quote(root) +
                        " NORV_PROGRAMDATA=" + Quote(root / "programdata") + " " + Quote(host) +
                        " --gtest_also_run_disabled_tests"
                        " --gtest_filter=MirrorModuleTest.DISABLED_HostSide 2>&1";
  std::string output;
  int exit_code = -1;
  ASSERT_EQ(platform::RunShellCommand(command, 120000, nullptr, &output, &exit_code),
            platform::RunResult::kDone)
      << output;
  EXPECT_EQ(exit_code, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
  EXPECT_EQ(tool.launches(), 2u);
  EXPECT_EQ(AdbArguments(root / "adb-record"),
            (std::vector<std::string>{"connect", "192.168.42.11:5555"}));
}

// Run only by the test above, in the copied host executable.
TEST(MirrorModuleTest, DISABLED_HostSide) {
  const char* root_variable = std::getenv(kRootVariable);
  ASSERT_NE(root_variable, nullptr);
  const fs::path root = root_variable;
  void* module = dlopen((ModuleDir(root) / "Pellion.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto create =
      reinterpret_cast<CreatePlugInterfaceFunction>(dlsym(module, kCreatePlugInterfaceName));
  ASSERT_NE(create, nullptr);
  IAVStreamInterface* plugin = create();
  ASSERT_NE(plugin, nullptr);
  testing_util::XClient client;
  ASSERT_NE(client.display(), nullptr);
  const Window host = HostWindow(client);
  ToolStandIn tool(ModuleDir(root), ToolProgram(root));

  plugin->ShowScrcpy(true);  // nothing to show yet
  HWND window = plugin->StartScrcpy(H(host), 0x400);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(tool.Arguments(), kToolArguments);
  EXPECT_EQ(client.Parent(W(window)), host);
  EXPECT_EQ(client.Attributes(W(window)).map_state, IsUnmapped);
  EXPECT_EQ(plugin->StartScrcpy(H(host), 0x400), window);
  plugin->ShowScrcpy(true);
  EXPECT_EQ(client.Attributes(W(window)).map_state, IsViewable);
  plugin->ShowScrcpy(false);
  EXPECT_EQ(client.Attributes(W(window)).map_state, IsUnmapped);

  kill(Owner(window), SIGKILL);
  ExpectEndNotice(client, host, 0x400);

  HWND again = plugin->StartScrcpy(H(host), 0x400);
  ASSERT_NE(again, nullptr);
  const pid_t pid = Owner(again);
  EXPECT_EQ(client.Parent(W(again)), host);
  plugin->StopScrcpy();
  EXPECT_TRUE(ProcessReaped(pid));
}

}  // namespace
