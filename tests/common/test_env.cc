// Every test binary writes whatever logging it sets up below the build tree, never into the
// user's folders or /tmp. A variable already set (a test that wants its own) is kept.
#include <cstdlib>
#include <filesystem>

namespace {

struct TestEnvironment {
  TestEnvironment() {
    std::filesystem::create_directories(PELLION_TEST_PROGRAMDATA);
    std::filesystem::create_directories(PELLION_TEST_GLOG_DIR);
    SetDefault("NORV_PROGRAMDATA", PELLION_TEST_PROGRAMDATA);
    SetDefault("GLOG_log_dir", PELLION_TEST_GLOG_DIR);
  }
  static void SetDefault(const char* name, const char* value) {
    if (std::getenv(name) != nullptr) return;
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 0);
#endif
  }
} g_test_environment;

}  // namespace
