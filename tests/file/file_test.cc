// File helpers: path joins, module names, ini reads, version blocks, shared sections.
#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "file/FileVersion.h"
#include "file/SharedMemory.h"
#include "file/path.h"
#include "file/profile.h"
#include "log/log_capture.h"

namespace {

namespace fs = std::filesystem;
using namespace NORV::sFileManager;
using NORV::sFileManager::sFileHelper::File;

TEST(PathTest, CombineWithDirectoryJoinsToTheFolder) {
  EXPECT_EQ(CombineWithDirectory(L"/opt/host/bin/host", L"raw-avfile/"),
            L"/opt/host/bin/raw-avfile/");
  EXPECT_EQ(CombineWithDirectory(L"C:\\host\\host.exe", L"scrcpy/adb"), L"C:\\host/scrcpy/adb");
  EXPECT_EQ(CombineWithDirectory(L"/a b/c;d/m.so", L"x"), L"/a b/c;d/x");
  // No folder to join to: empty, so the caller fails rather than writing at the root.
  EXPECT_EQ(CombineWithDirectory(L"", L"x"), L"");
  EXPECT_EQ(CombineWithDirectory(L"host", L"x"), L"");
}

TEST(PathTest, ModuleBaseNameCutsOnlyTheFileNamesExtension) {
  EXPECT_EQ(ModuleBaseName("/usr/lib/Pellion.so"), "Pellion");
  EXPECT_EQ(ModuleBaseName("C:\\Program Files\\x\\Pellion.dll"), "Pellion");
  EXPECT_EQ(ModuleBaseName("/opt/v1.2/Pellion"), "Pellion") << "a dot in a folder name";
  EXPECT_EQ(ModuleBaseName("/opt/v1.2/Pellion.test.so"), "Pellion.test");
  EXPECT_EQ(ModuleBaseName("Pellion"), "Pellion");
}

TEST(PathTest, ModuleAndExecutablePathsAreAbsolute) {
  std::wstring exe = GetExeFilePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe[0], L'/');
  EXPECT_TRUE(fs::exists(ToNarrow(exe)));
  // Statically linked into the test binary, this code's module is the executable itself.
  EXPECT_EQ(GetModuleFilePath(), exe);
}

TEST(PathTest, WideConversionRoundTrips) {
  std::string s = "Pellion \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(ToNarrow(ToWide(s)), s);
  EXPECT_EQ(ToWide("\xC3\xA9").size(), 1u);
}

TEST(PathTest, ProgramDataRootFollowsTheEnvironment) {
  setenv("NORV_PROGRAMDATA", "/tmp/pd", 1);
  EXPECT_EQ(ProgramDataRoot(), "/tmp/pd");
  unsetenv("NORV_PROGRAMDATA");
  setenv("XDG_STATE_HOME", "/tmp/state", 1);
  EXPECT_EQ(ProgramDataRoot(), "/tmp/state");
  unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(ProgramDataRoot(), std::string(std::getenv("HOME")) + "/.local/state");
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pellion-file-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return (dir_ / name).string();
  }
  fs::path dir_;
};

using ProfileTest = TempDir;

TEST_F(ProfileTest, ReadsLeadingIntegersCaseInsensitivelyFirstMatchWins) {
  std::string ini = Write("NORVencrypt.ini",
                          "[other]\nENCRYPT=7\n[norv]\nencrypt = 0 # off\nENCRYPT=5\n"
                          "size=12kb\nword=abc\n");
  EXPECT_EQ(GetPrivateProfileInt("NORV", "ENCRYPT", 1, ini), 0);
  EXPECT_EQ(GetPrivateProfileInt("NORV", "size", 1, ini), 12);
  EXPECT_EQ(GetPrivateProfileInt("NORV", "word", 3, ini), 3);
  EXPECT_EQ(GetPrivateProfileInt("NORV", "absent", 4, ini), 4);
  EXPECT_EQ(GetPrivateProfileInt("none", "ENCRYPT", 5, ini), 5);
  EXPECT_EQ(GetPrivateProfileInt("NORV", "ENCRYPT", 1, (dir_ / "missing.ini").string()), 1);
}

TEST(VersionTest, TheBuiltModuleCarriesItsStrings) {
  for (auto [key, value] : {std::pair{"CompanyName", "NORV"},
                            {"ProductName", "Pellion"},
                            {"OriginalFilename", "Pellion.so"},
                            {"FileVersion", "1.0.0.0"},
                            {"ProductVersion", "1.0.0.0"},
                            {"InternalName", "Pellion"},
                            {"FileDescription", "Pellion video channel plug-in"}})
    EXPECT_EQ(File::GetFileVerInfo(PELLION_MODULE_PATH, key), value) << key;
  EXPECT_FALSE(File::GetFileVerInfo(PELLION_MODULE_PATH, "LegalCopyright").empty());
}

using VersionErrorTest = TempDir;

TEST_F(VersionErrorTest, EachFailureGivesAnEmptyStringAndItsLine) {
  NORV::sLog::LogCapture capture;
  EXPECT_EQ(File::GetFileVerInfo("", "CompanyName"), "");
  EXPECT_EQ(capture.Count("param failed!"), 1u);
  EXPECT_EQ(File::GetFileVerInfo((dir_ / "missing").string(), "CompanyName"), "");
  EXPECT_EQ(capture.Count("GetFileVersionInfoA failed! err:2"), 1u);
  EXPECT_EQ(File::GetFileVerInfo(Write("text", "not a binary"), "CompanyName"), "");
  EXPECT_EQ(capture.Count("GetFileVersionInfoA failed! err:"), 2u);
  // An ELF file without the block: this test binary.
  EXPECT_EQ(File::GetFileVerInfo(ToNarrow(GetExeFilePath()), "CompanyName"), "");
  EXPECT_EQ(capture.Count("dwDataSize:0"), 1u);
  EXPECT_EQ(File::GetFileVerInfo(PELLION_MODULE_PATH, "Nope"), "");
  EXPECT_EQ(capture.Count("VerQueryValueA failed! err:"), 1u);
  for (auto& l : capture.lines()) EXPECT_EQ(l.severity, NORV::sLog::kError);
}

class SectionTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::SharedSection::Unlink(name_); }
  std::string name_ = "pellion-test-section-" + std::to_string(getpid());
};

TEST_F(SectionTest, CreateMapsTheWholeSizeReopensShareBytesAndGrowingNeverShrinks) {
  SharedMemory a;
  ASSERT_TRUE(a.Create(name_, 4096 * 3));
  EXPECT_EQ(a.size(), 4096u * 3);
  SharedMemoryView va;
  ASSERT_TRUE(va.Map(a, true));
  std::memcpy(va.data() + 100, "frame", 5);
  SharedMemory b;
  ASSERT_TRUE(b.Open(name_, false));
  SharedMemoryView vb;
  ASSERT_TRUE(vb.Map(b, false));
  EXPECT_EQ(std::memcmp(vb.data() + 100, "frame", 5), 0);
  // An existing smaller section is grown, never shrunk.
  SharedMemory big;
  ASSERT_TRUE(big.Create(name_, 4096 * 4));
  EXPECT_EQ(big.size(), 4096u * 4);
  EXPECT_EQ(a.size(), 4096u * 4) << "one section, seen by both";
  SharedMemory again;
  ASSERT_TRUE(again.Create(name_, 100));
  EXPECT_EQ(again.size(), 4096u * 4);
}

TEST_F(SectionTest, FailuresCarryTheSystemError) {
  SharedMemory none;
  EXPECT_FALSE(none.Open(name_ + "-absent", false));
  EXPECT_EQ(none.error(), ENOENT);
  SharedMemoryView view;
  EXPECT_FALSE(view.Map(none, true));
  EXPECT_EQ(view.error(), EBADF);
  SharedMemory ro;
  SharedMemory rw;
  ASSERT_TRUE(rw.Create(name_, 4096));
  ASSERT_TRUE(ro.Open(name_, false));
  EXPECT_FALSE(view.Map(ro, true)) << "a read-only opening cannot be mapped writable";
  EXPECT_EQ(view.error(), EACCES);
}

}  // namespace
