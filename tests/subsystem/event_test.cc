// The SDK's events: named ones across processes, unnamed ones pollable with a pidfd.
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/wait.h"
#include "subsystem/AutoEvent.h"

namespace {

using NORV::sSubSystem::CAutoEvent;
using NORV::sSubSystem::CMenualEvent;

class NamedEventTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::NamedSemaphore::Unlink(name_); }
  std::string name_ = "Global\\norv_test_evt:" + std::to_string(getpid());
};

TEST_F(NamedEventTest, OpenFailsUntilCreatedThenWorksAcrossProcesses) {
  CAutoEvent early(name_, false, false);
  EXPECT_FALSE(early.IsValid());
  EXPECT_EQ(early.Wait(0), 0xFFFFFFFFu);

  CAutoEvent created(name_, false, true);
  ASSERT_TRUE(created.IsValid());
  EXPECT_EQ(created.Wait(20), 258u);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Another process opens it by the same name (prefix dropped) and sets it, twice.
    CAutoEvent opened(name_, false, false);
    bool ok = opened.IsValid() && opened.Set() && opened.Set();
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(created.Wait(1000), 0u);
  EXPECT_EQ(created.Wait(0), 258u) << "two Sets of a set event are one signal";
}

TEST_F(NamedEventTest, NamedManualResetIsRefused) {
  CMenualEvent manual(name_);
  EXPECT_FALSE(manual.IsValid());
  EXPECT_EQ(manual.error(), EINVAL);
  EXPECT_FALSE(manual.Set());
}

TEST(UnnamedEventTest, ManualResetStaysSetAutoResetWakesOnce) {
  CMenualEvent manual;
  ASSERT_TRUE(manual.IsValid());
  manual.Set();
  EXPECT_EQ(manual.Wait(0), 0u);
  EXPECT_EQ(manual.Wait(0), 0u);
  manual.Reset();
  EXPECT_EQ(manual.Wait(0), 258u);

  CAutoEvent automatic;
  automatic.Set();
  EXPECT_EQ(automatic.Wait(0), 0u);
  EXPECT_EQ(automatic.Wait(0), 258u);
}

TEST(UnnamedEventTest, OnePollWaitsOnAnEventAndAProcess) {
  CMenualEvent stop;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pause();
    _exit(0);
  }
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  ASSERT_GE(pidfd, 0);
  pollfd fds[2] = {{stop.fd(), POLLIN, 0}, {pidfd, POLLIN, 0}};
  EXPECT_EQ(poll(fds, 2, 0), 0);

  stop.Set();
  ASSERT_EQ(poll(fds, 2, 5000), 1);
  EXPECT_TRUE(fds[0].revents & POLLIN);
  stop.Reset();

  kill(child, SIGKILL);
  fds[0].revents = fds[1].revents = 0;
  ASSERT_EQ(poll(fds, 2, 5000), 1);
  EXPECT_TRUE(fds[1].revents & POLLIN);
  waitpid(child, nullptr, 0);
  close(pidfd);
}

}  // namespace
