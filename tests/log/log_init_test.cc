// The logging set-up, each case in fresh processes of the probe with a program-data root of
// its own: file names, header, prefix, version lines, scrambling, moves, pruning, rotation,
// the "already set up" path and crash lines.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/file_text.h"
#include "common/wait.h"
#include "log/log_file.h"
#include "log/scramble.h"

namespace {

namespace fs = std::filesystem;

using testing_util::CountOf;
using testing_util::FileText;

// The sorted names in `dir` that start with `prefix`.
std::vector<std::string> Names(const fs::path& dir, const std::string& prefix = "") {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec))
    if (e.path().filename().string().rfind(prefix, 0) == 0)
      out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

struct Child {
  pid_t pid = -1;
  int in = -1;   // its stdin
  int out = -1;  // its stdout
};

class LogSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("pellion-log-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "glog");
    env_ = {"NORV_PROGRAMDATA=" + root_.string(), "GLOG_log_dir=" + (root_ / "glog").string(),
            "HOST_LOG_DIR=" + (root_ / "host").string(), "PATH=/usr/bin:/bin"};
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path LogDir() const { return root_ / "NORVApp"; }
  fs::path BackupDir() const { return root_ / "norv_temp" / "log"; }

  Child Start(std::vector<std::string> args) {
    std::vector<std::string> argv = {LOG_PROBE_PATH, "--logdir", LogDir().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    int in[2], out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    std::string err_path = (root_ / ("stderr." + std::to_string(runs_++))).string();
    last_stderr_ = err_path;
    pid_t pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      std::vector<char*> a, e;
      for (auto& s : argv) a.push_back(s.data());
      a.push_back(nullptr);
      for (auto& s : env_) e.push_back(s.data());
      e.push_back(nullptr);
      execve(a[0], a.data(), e.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    return {pid, in[1], out[0]};
  }
  // The probe's "FILE:" line: the file it writes, empty when none.
  std::string ReadFileLine(const Child& c) {
    std::string line;
    char ch;
    while (read(c.out, &ch, 1) == 1 && ch != '\n') line += ch;
    return line.rfind("FILE:", 0) == 0 ? line.substr(5) : "<none>";
  }
  int Finish(Child& c) {
    close(c.in);
    int status = 0;
    waitpid(c.pid, &status, 0);
    close(c.out);
    return status;
  }
  // Runs the probe to its end; returns the path of the file it wrote.
  std::string Run(std::vector<std::string> args, int* status = nullptr) {
    Child c = Start(std::move(args));
    std::string file = ReadFileLine(c);
    int s = Finish(c);
    if (status != nullptr) *status = s;
    return file;
  }
  std::string Plain(const std::string& path) {
    std::string text = FileText(path);
    if (text.rfind(NORV::sLog::kLogFileHeaderStart, 0) != 0)
      NORV::sLog::ScrambleInPlace(text.data(), text.size());
    return text;
  }
  void Touch(const fs::path& p, const std::string& text = "old\n") {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }

  fs::path root_;
  std::vector<std::string> env_;
  std::string last_stderr_;
  int runs_ = 0;
};

TEST_F(LogSetupTest, FileNameHeaderLinePrefixAndVersionLines) {
  env_.push_back("GLOG_encrypt=0");
  std::string file = Run({});
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(fs::path(file).parent_path(), LogDir());
  std::string name = fs::path(file).filename().string();
  EXPECT_TRUE(std::regex_match(
      name, std::regex(R"(PellionProbe_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d-\d{3}\.log)")))
      << name;
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0664));

  std::string text = FileText(file);
  EXPECT_TRUE(std::regex_search(
      text,
      std::regex(R"(^Log file created at: \d{4}/\d\d/\d\d \d\d:\d\d:\d\d:Time Bias:-?\d+\n)"
                 R"(Running on machine: \S+ PID:\d+ UpTime:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \n)"
                 R"(Log line format: \[IWEF\] \[mm-dd hh:mm:ss\.uuuuuu\] \[thread_id\] )"
                 R"(\[class::function\] msg\n)"),
      std::regex_constants::match_continuous))
      << text.substr(0, 300);
  EXPECT_TRUE(std::regex_search(
      text,
      std::regex(
          R"(\n\[I\] \[\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\] \[[ \d]{4}\d\] \[ProbeClass::Emit:\d+\]line 0\n)")))
      << text;
  for (const char* v :
       {"[SDK Version]:1.0.0.0", "CompanyName: NORV", "ProductName: Pellion",
        "OriginalFilename: Pellion.so", "ProductVersion: 1.0.0.0", "FileVersion: 1.0.0.0",
        "InternalName: Pellion", "FileDescription: Pellion video channel plug-in", "build date:"})
    EXPECT_NE(text.find(v), std::string::npos) << v;
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\[W\] [^\n]*\]\[SDK Version\]:1\.0\.0\.0\n)")));
}

TEST_F(LogSetupTest, ScramblingIsOnByDefaultAndTheLogReaderUndoesIt) {
  std::string file = Run({});
  std::string raw = FileText(file);
  EXPECT_EQ(raw.find("Log file created at"), std::string::npos);
  EXPECT_EQ(raw.find("line 0"), std::string::npos);
  std::string unscrambled = Plain(file);
  EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'),
            std::count(unscrambled.begin(), unscrambled.end(), '\n'));
  std::string out_path = (root_ / "cat.txt").string();
  ASSERT_EQ(std::system((std::string(LOGCAT_PATH) + " " + file + " > " + out_path).c_str()), 0);
  std::string plain = FileText(out_path);
  EXPECT_EQ(plain, Plain(file));
  EXPECT_EQ(plain.rfind("Log file created at: ", 0), 0u);
  EXPECT_NE(plain.find("]line 0\n"), std::string::npos);
  // Plain text passes through unchanged, from a file or from standard input.
  std::string back = (root_ / "back.txt").string();
  ASSERT_EQ(std::system((std::string(LOGCAT_PATH) + " < " + out_path + " > " + back).c_str()), 0);
  EXPECT_EQ(FileText(back), plain);
}

TEST_F(LogSetupTest, EnvironmentAndIniSwitchScramblingOff) {
  auto scrambled = [&](const std::string& file) {
    return FileText(file).rfind("Log file created at", 0) != 0;
  };
  env_.push_back("GLOG_encrypt=0");
  EXPECT_FALSE(scrambled(Run({})));
  env_.back() = "GLOG_encrypt=yes";
  EXPECT_TRUE(scrambled(Run({})));
  env_.pop_back();
  Touch(root_ / "NORVencrypt.ini", "[NORV]\nENCRYPT=2\n");
  EXPECT_TRUE(scrambled(Run({})));
  Touch(root_ / "NORVencrypt.ini", "[norv]\nencrypt=0\n");
  EXPECT_FALSE(scrambled(Run({})));
}

TEST_F(LogSetupTest, OldFilesMoveAsideWithoutOverwritingAndOnlyTheGreatestFiveStay) {
  for (int d = 1; d <= 7; ++d)
    Touch(BackupDir() / ("PellionProbe_2020-01-0" + std::to_string(d) + "_00-00-00-000.log"));
  Touch(BackupDir() / "PellionProbeSvc_2020-01-01_00-00-00-000.log");
  Touch(LogDir() / "PellionProbeSvc_2030-01-01_00-00-00-000.log");
  Touch(LogDir() / "PellionProbe_2020-01-09_00-00-00-000.log", "new one\n");
  Touch(BackupDir() / "PellionProbe_2020-01-09_00-00-00-000.log", "kept backup\n");
  std::string file = Run({"--quiet"});

  // The clash went to "_x.log"; the backup of that name is untouched.
  EXPECT_EQ(FileText(BackupDir() / "PellionProbe_2020-01-09_00-00-00-000.log"), "kept backup\n");
  EXPECT_EQ(FileText(BackupDir() / "PellionProbe_2020-01-09_00-00-00-000_x.log"), "new one\n");
  // Another program's files stay where they are.
  EXPECT_TRUE(fs::exists(LogDir() / "PellionProbeSvc_2030-01-01_00-00-00-000.log"));
  EXPECT_TRUE(fs::exists(BackupDir() / "PellionProbeSvc_2020-01-01_00-00-00-000.log"));
  // Nine own files were in the backup folder: the five greatest paths stay.
  EXPECT_EQ(
      Names(BackupDir(), "PellionProbe_"),
      (std::vector<std::string>{
          "PellionProbe_2020-01-05_00-00-00-000.log", "PellionProbe_2020-01-06_00-00-00-000.log",
          "PellionProbe_2020-01-07_00-00-00-000.log", "PellionProbe_2020-01-09_00-00-00-000.log",
          "PellionProbe_2020-01-09_00-00-00-000_x.log"}));
  // The file in use was neither moved nor pruned.
  EXPECT_TRUE(fs::exists(file));
  EXPECT_NE(
      Plain(file).find("FILE:[" + (LogDir() / "PellionProbe_2020-01-09_00-00-00-000.log").string() +
                       "],ret:[-1],lasterror:[17]"),
      std::string::npos);
}

TEST_F(LogSetupTest, FullFileRotatesIntoTheBackupFolderUnderItsOwnName) {
  env_.push_back("GLOG_log_backup_dir=" + (root_ / "rotated").string());
  env_.push_back("GLOG_encrypt=0");
  std::string file = Run({"--quiet", "--backup", (root_ / "rotated").string(), "--max-bytes",
                          "4000", "--lines", "200", "--keep", "0"});
  std::vector<std::string> rotated = Names(root_ / "rotated");
  ASSERT_GE(rotated.size(), 3u);
  std::string all;
  for (auto& n : rotated) {
    EXPECT_TRUE(std::regex_match(n, std::regex(R"(PellionProbe_[\d_-]+(1)?\.log)"))) << n;
    std::string text = FileText(root_ / "rotated" / n);
    EXPECT_EQ(text.rfind("Log file created at: ", 0), 0u) << "each file has its header";
    EXPECT_LT(text.size(), 4000u + 200);
    all += text;
  }
  all += FileText(file);
  // Files filled within one millisecond share a timestamp: none may be lost or left behind.
  for (int i = 0; i < 200; ++i)
    EXPECT_NE(all.find("]line " + std::to_string(i) + "\n"), std::string::npos) << i;
  EXPECT_EQ(Names(LogDir(), "PellionProbe_").size(), 1u)
      << "only the file in use stays in the log folder";
}

// The channel passes no backup folder; a second channel object in the process must not clear
// the default that the first one's set-up chose, or rotated files would stay in the log folder.
TEST_F(LogSetupTest, ASecondSetUpInTheProcessKeepsTheFirstOnesSettings) {
  env_.push_back("GLOG_encrypt=0");
  std::string file = Run({"--twice", "--quiet", "--max-bytes", "4000", "--lines", "200"});
  std::vector<std::string> rotated = Names(BackupDir());
  EXPECT_GE(rotated.size(), 2u) << "rotated into the default backup folder";
  std::string all = FileText(file);
  for (auto& n : rotated) all += FileText(BackupDir() / n);
  EXPECT_EQ(all.find("[SDK Version]"), all.rfind("[SDK Version]")) << "version lines once";
  EXPECT_NE(all.find("]line 199\n"), std::string::npos);
}

// Many rotations, looked at while the program still runs and after it ends: the backup folder
// holds the keep count of the program's files, the newest ones, and another program's files.
TEST_F(LogSetupTest, EachRotationKeepsOnlyTheNewestFilesOfTheProgram) {
  const fs::path rotated = root_ / "rotated";
  env_.push_back("GLOG_log_backup_dir=" + rotated.string());
  env_.push_back("GLOG_encrypt=0");
  Touch(rotated / "PellionProbeSvc_2020-01-01_00-00-00-000.log");
  constexpr int kLines = 600, kMore = 600;
  Child c = Start({"--quiet", "--backup", rotated.string(), "--max-bytes", "3000", "--keep", "3",
                   "--lines", std::to_string(kLines), "--hold", "--more", std::to_string(kMore)});
  ASSERT_NE(ReadFileLine(c), "<none>");
  auto own = [](const fs::path& dir) { return Names(dir, "PellionProbe_"); };
  EXPECT_EQ(own(rotated).size(), 3u) << "while running";
  ASSERT_EQ(WEXITSTATUS(Finish(c)), 0);
  const std::vector<std::string> kept = own(rotated);
  EXPECT_EQ(kept.size(), 3u) << "at the end";
  EXPECT_TRUE(fs::exists(rotated / "PellionProbeSvc_2020-01-01_00-00-00-000.log"));

  // The lines still on disk are the last ones, without a gap: no newer file went first.
  std::vector<bool> present(kLines + kMore, false);
  auto collect = [&](const fs::path& path) {
    const std::string text = FileText(path);
    EXPECT_EQ(text.rfind("Log file created at: ", 0), 0u) << path;
    std::smatch m;
    const std::regex line(R"(\]line (\d+)\n)");
    for (auto it = text.cbegin(); std::regex_search(it, text.cend(), m, line); it = m[0].second)
      present[std::stoul(m[1])] = true;
  };
  for (auto& n : kept) collect(rotated / n);
  for (auto& n : own(LogDir())) collect(LogDir() / n);
  const auto first = std::find(present.begin(), present.end(), true);
  ASSERT_NE(first, present.end());
  EXPECT_GT(first - present.begin(), kLines) << "older lines were pruned";
  EXPECT_TRUE(std::all_of(first, present.end(), [](bool b) { return b; }))
      << "a gap after line " << (first - present.begin());
}

// Files filled within one millisecond are numbered: the tenth and later are newer than the
// ninth, and pruning keeps them.
TEST_F(LogSetupTest, PruningCountsNumberedFilesOfOneMillisecondInOrder) {
  const fs::path dir = root_ / "numbered";
  const std::string stem = "PellionProbe_2020-01-01_00-00-00-007";
  Touch(dir / "PellionProbe_2019-12-31_23-59-59-999.log");
  Touch(dir / (stem + ".log"));
  for (int n = 2; n <= 12; ++n) Touch(dir / (stem + "_" + std::to_string(n) + ".log"));
  Touch(dir / "PellionProbeSvc_2030-01-01_00-00-00-000.log");
  const std::string active = (dir / (stem + "_12.log")).string();
  EXPECT_TRUE(NORV::sLog::PruneLogFiles(dir.string(), "PellionProbe", 3, active).empty());
  // The file in use counts for none of the three.
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"PellionProbeSvc_2030-01-01_00-00-00-000.log",
                                                  stem + "_10.log", stem + "_11.log",
                                                  stem + "_12.log", stem + "_9.log"}));
  EXPECT_TRUE(NORV::sLog::PruneLogFiles(dir.string(), "PellionProbe", 0, "").empty());
  EXPECT_EQ(Names(dir).size(), 5u) << "a keep count of 0 keeps all";
}

TEST_F(LogSetupTest, ASecondProcessLogsToStderrOnlyUntilTheFirstIsGone) {
  env_.push_back("GLOG_encrypt=0");
  Child first = Start({"--hold"});
  std::string first_file = ReadFileLine(first);
  ASSERT_FALSE(first_file.empty());
  std::string first_text = FileText(first_file);

  std::string second_file = Run({"--lines", "3"});
  EXPECT_EQ(second_file, "") << "no file of its own";
  EXPECT_NE(FileText(last_stderr_).find("]line 2"), std::string::npos);
  EXPECT_EQ(Names(LogDir()).size(), 1u);
  EXPECT_EQ(FileText(first_file), first_text)
      << "nothing moved, nothing written into the first's file";

  kill(first.pid, SIGKILL);
  Finish(first);
  std::string third_file = Run({});
  EXPECT_FALSE(third_file.empty()) << "a crashed first process leaves no marker behind";
}

TEST_F(LogSetupTest, AHostThatSetUpGlogKeepsItsFilesAndPrefix) {
  fs::create_directories(root_ / "host");
  std::string file = Run({"--glog-first", "--quiet"});
  EXPECT_EQ(file, "");
  EXPECT_FALSE(fs::exists(LogDir()) && !Names(LogDir()).empty());
  std::string host_text;
  for (auto& n : Names(root_ / "host"))
    if (n.find(".INFO.") != std::string::npos) host_text += FileText(root_ / "host" / n);
  EXPECT_TRUE(std::regex_search(host_text, std::regex(R"(\nI\d{8} [^\n]*\] host line after)")));
  EXPECT_TRUE(
      std::regex_search(host_text, std::regex(R"(\n\[I\] [^\n]*\[ProbeClass::Emit:\d+\]line 0)")));
}

TEST_F(LogSetupTest, ACrashLeavesSignalLinesInTheFile) {
  env_.push_back("GLOG_encrypt=0");
  // In sanitizer builds the crash must reach the plug-in's handler, not the sanitizer's.
  env_.push_back("ASAN_OPTIONS=handle_segv=0:detect_leaks=0");
  env_.push_back("TSAN_OPTIONS=handle_segv=0");
  int status = 0;
  std::string file = Run({"--quiet", "--segv"}, &status);
  EXPECT_TRUE(WIFSIGNALED(status));
  std::string text = FileText(file);
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n\[E\] [^\n]*\]\*\*\* SIGSEGV)"))) << text;
}

TEST_F(LogSetupTest, WarningsAndErrorsLeaveNoFilesInTheTemporaryFolder) {
  // As under a real host: no glog folder is set, so glog's own files would go to TMPDIR.
  env_.erase(std::remove_if(env_.begin(), env_.end(),
                            [](const std::string& v) { return v.rfind("GLOG_log_dir=", 0) == 0; }),
             env_.end());
  fs::create_directories(root_ / "tmp");
  env_.push_back("TMPDIR=" + (root_ / "tmp").string());
  std::string file = Run({"--errors", "--quiet"});
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(Names(root_ / "tmp"), std::vector<std::string>{});
  std::string text = Plain(file);
  EXPECT_NE(text.find("]probe warning\n"), std::string::npos) << "every severity is in the file";
  EXPECT_NE(text.find("]probe error\n"), std::string::npos);
}

TEST_F(LogSetupTest, ALogFolderThatCannotBeMadeIsReportedAndRetried) {
  env_.push_back("GLOG_encrypt=0");
  Touch(LogDir(), "a plain file where the folder should be\n");
  Child c = Start({"--quiet", "--hold", "--lines", "1", "--more", "40"});
  EXPECT_EQ(ReadFileLine(c), "") << "no file, and the probe goes on";
  const std::string report = "COULD NOT CREATE LOGFILE '" + (LogDir() / "PellionProbe_").string();
  EXPECT_EQ(CountOf(FileText(last_stderr_), report), 1u) << FileText(last_stderr_);

  // Once the folder can be made, a later write opens the file.
  fs::remove(LogDir());
  fs::create_directories(LogDir());
  EXPECT_EQ(Finish(c), 0);
  std::vector<std::string> names = Names(LogDir());
  ASSERT_EQ(names.size(), 1u);
  std::string text = FileText(LogDir() / names[0]);
  EXPECT_NE(text.find("]line 40\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("]line 0\n"), std::string::npos) << "written while there was no file";
}

}  // namespace
