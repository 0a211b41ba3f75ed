// Log statements: the function name and line reach the sinks exactly.
#include <gtest/gtest.h>

#include "log/log.h"
#include "log/log_capture.h"
#include "log/rate_limit.h"

namespace NORV::sNetwork {
struct NorvNetUDT {
  int Start(const std::string&, int) {
    LOGI << "bind port:" << 9111 << " success ";
    return __LINE__ - 1;
  }
};
}  // namespace NORV::sNetwork

namespace {

using NORV::sLog::FunctionName;

TEST(LogStatementTest, FunctionNameIsClassAndFunction) {
  EXPECT_EQ(FunctionName("void NORV::sNetwork::NorvNetUDT::Start(const string&, int, int)"),
            "NORV::sNetwork::NorvNetUDT::Start");
  EXPECT_EQ(FunctionName("static std::shared_ptr<MetaUdpServer> MetaUdpServer::GetInstance()"),
            "MetaUdpServer::GetInstance");
  EXPECT_EQ(FunctionName("std::map<int, std::pair<int, int> > A::B<C, D>::f(int) const"),
            "A::B<C, D>::f");
  EXPECT_EQ(FunctionName("Pellion::Pellion()"), "Pellion::Pellion");
  EXPECT_EQ(FunctionName("const char* AdbScrcpy::Name()"), "AdbScrcpy::Name");
  EXPECT_EQ(FunctionName("void Foo::Bar(int)::<lambda()>"), "Foo::Bar");
  EXPECT_EQ(FunctionName("bool Foo::operator()(int)"), "Foo::operator()");
  EXPECT_EQ(FunctionName("bool Foo::operator<(const Foo&) const"), "Foo::operator<");
  EXPECT_EQ(FunctionName("int main()"), "main");
}

TEST(LogStatementTest, StatementCarriesFunctionLineAndText) {
  NORV::sLog::LogCapture capture;
  int line = NORV::sNetwork::NorvNetUDT().Start("0.0.0.0", 9111);
  auto lines = capture.Matching("bind port:");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].severity, NORV::sLog::kInfo);
  EXPECT_EQ(lines[0].function, "NORV::sNetwork::NorvNetUDT::Start");
  EXPECT_EQ(lines[0].line, line);
  EXPECT_EQ(lines[0].text, "bind port:9111 success ");
}

TEST(LogStatementTest, SeveritiesAndWlogI) {
  NORV::sLog::LogCapture capture;
  LOGW << "udp recv thread entry";
  LOGE << "socket dont create!";
  wlogI("File::Move", "FILE:[%s],ret:[%d],lasterror:[%d]", "a.log", 0, 2);
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].severity, NORV::sLog::kWarning);
  EXPECT_EQ(lines[1].severity, NORV::sLog::kError);
  EXPECT_EQ(lines[2].severity, NORV::sLog::kInfo);
  EXPECT_EQ(lines[2].text, "[File::Move]FILE:[a.log],ret:[0],lasterror:[2]");
  // wlogI cuts at 1024 bytes.
  wlogI("F", "%s", std::string(5000, 'x').c_str());
  ASSERT_EQ(capture.lines().size(), 4u);
  EXPECT_EQ(capture.lines()[3].text.size(), std::string("[F]").size() + 1024);
}

}  // namespace

namespace {

using NORV::sLog::LogRateLimit;

TEST(LogRateLimitTest, AFewLinesPerWindowThenTheCountOfWhatWasLeftOut) {
  LogRateLimit limit(5, 3000);
  int allowed = 0;
  for (int i = 0; i < 20000; ++i) allowed += limit.Allow(1000 + i / 10).allowed;
  EXPECT_EQ(allowed, 5);
  // The next window's first line says how many were left out, and since when.
  LogRateLimit::Verdict v = limit.Allow(4000);
  ASSERT_TRUE(v.allowed);
  EXPECT_EQ(v.left_out, 19995u);
  EXPECT_EQ(NORV::sLog::LeftOutText(v), " \u2026 and 19,995 more in the last 3 s");
  EXPECT_EQ(limit.Allow(4001).left_out, 0u);
  EXPECT_EQ(NORV::sLog::LeftOutText(limit.Allow(4002)), "");
}

void FloodTwoMessages(int n) {
  for (int i = 0; i < n; ++i) {
    LOGE_LIMITED << "pack is too small len:" << 9;
    LOGE_LIMITED << "pack is not vframe";
  }
}

TEST(LogRateLimitTest, EachStatementHasItsOwnLimit) {
  NORV::sLog::LogCapture capture;
  FloodTwoMessages(10000);
  // Each message keeps its text and at most a window's worth of lines (two windows if the
  // clock turned over meanwhile); a flood of one never hides the other.
  auto small = capture.Matching("pack is too small len:9");
  auto not_video = capture.Matching("pack is not vframe");
  EXPECT_GE(small.size(), 5u);
  EXPECT_LE(small.size(), 10u);
  EXPECT_GE(not_video.size(), 5u);
  EXPECT_LE(not_video.size(), 10u);
  EXPECT_EQ(small[0].function, "FloodTwoMessages");
}

}  // namespace
