// Every test binary writes whatever logging it sets up below the build tree, never into the
// user's folders or /tmp. A variable already set (a test that wants its own) is kept.
#include <cstdlib>
#include <filesystem>

namespace {

struct TestEnvironment {
  TestEnvironment() {
    std::filesystem::create_directories(PELLION_TEST_PROGRAMDATA);
    std::filesystem::create_directories(PELLION_TEST_GLOG_DIR);
    setenv("NORV_PROGRAMDATA", PELLION_TEST_PROGRAMDATA, 0);
    setenv("GLOG_log_dir", PELLION_TEST_GLOG_DIR, 0);
  }
} g_test_environment;

}  // namespace
