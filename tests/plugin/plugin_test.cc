// The module as a host sees it: loaded by path, driven through the host header only.
#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "pellion/pellion.h"

namespace {

std::string RunCommand(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), pipe.get())) > 0) out.append(buf.data(), n);
  return out;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(PELLION_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    create_ =
        reinterpret_cast<CreatePlugInterfaceFunction>(dlsym(handle_, kCreatePlugInterfaceName));
    ASSERT_NE(create_, nullptr);
  }
  void* handle_ = nullptr;
  CreatePlugInterfaceFunction create_ = nullptr;
};

TEST_F(ModuleTest, OneObjectWhoseChannelStartsOnceAndStops) {
  IAVStreamInterface* plugin = create_();
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(create_(), plugin) << "every call returns the same object";
  plugin->StopChan();  // before any start: returns at once
  EXPECT_EQ(plugin->StartChan(), 1);
  EXPECT_EQ(plugin->StartChan(), 1);
  plugin->StopChan();
  EXPECT_EQ(plugin->StartChan(), 1) << "a stopped channel starts again";
  plugin->StopChan();
  plugin->StopChan();
  // Mirroring is not there yet: the slots answer and change nothing.
  EXPECT_EQ(plugin->StartScrcpy(nullptr, 0x400), nullptr);
  plugin->ShowScrcpy(false);
  plugin->StopScrcpy();
}

TEST(ModuleTeardownTest, HostExitingWithTheChannelRunningExitsCleanly) {
  for (int i = 0; i < 5; ++i) {
    std::string out =
        RunCommand(std::string(PELLION_HOST_PATH) + " --leave-running 2>&1; echo rc=$?");
    EXPECT_NE(out.find("rc=0"), std::string::npos) << out;
  }
}

TEST(ModuleSymbolsTest, OnlyTheExportIsVisible) {
  std::string out = RunCommand(std::string("nm -D --defined-only ") + PELLION_MODULE_PATH);
  ASSERT_FALSE(out.empty());
  int ours = 0;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    std::string name = line.substr(line.rfind(' ') + 1);
    // Sanitizer builds add their runtime's hooks; everything else must be ours and only the export.
    if (name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0 ||
        name.rfind("__tsan", 0) == 0 || name.rfind("__sanitizer", 0) == 0)
      continue;
    ++ours;
    EXPECT_EQ(name, "CreatePlugInterface") << line;
  }
  EXPECT_EQ(ours, 1);
}

}  // namespace
