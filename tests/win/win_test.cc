// What only the Windows build has: the section read by another process, and the module as a
// host loads it (its one export, its version resource, its log under the program-data folder).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ShareMemVFrame.h"
#include "common/port_free.h"
#include "common/wait.h"
#include "file/FileVersion.h"
#include "file/path.h"
#include "pellion/pellion.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

// The section reader with `args`, its output captured and waited for at the end.
struct Reader {
  platform::SpawnedProcess process;
  platform::SpawnResult started;
  explicit Reader(std::vector<std::string> args) {
    platform::SpawnRequest request;
    request.program = SECTION_READER_PATH;
    request.argv = {SECTION_READER_PATH};
    request.argv.insert(request.argv.end(), args.begin(), args.end());
    request.capture_output = true;
    started = platform::Spawn(request, &process);
  }
  std::string ReadLine() {
    std::string line;
    char c;
    while (platform::ReadFd(process.output_fd, &c, 1) == 1 && c != '\n') line += c;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  ~Reader() {
    platform::WaitForProcess(process.pidfd, process.pid, 10000, nullptr);
    platform::CloseFd(process.output_fd);
    platform::CloseFd(process.pidfd);
  }
};

const std::string kSection = "pellion_test_section_" + std::to_string(GetCurrentProcessId());
const std::string kEvent = "pellion_test_event_" + std::to_string(GetCurrentProcessId());

TEST(SectionTest, ASecondProcessReadsEveryByteThatWasPublished) {
  ShareMemVFrame publisher(kSection, kEvent, pellion::kFrameSectionSize);
  Reader reader({kSection, kEvent, "10000"});
  ASSERT_EQ(reader.started, platform::SpawnResult::kOk);
  ASSERT_EQ(reader.ReadLine(), "ready");

  // An odd size, so that the rounded-up chroma rows count too.
  const uint32_t w = 642, h = 362;
  std::vector<uint8_t> picture(w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2));
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 7 + i / 977);
  ASSERT_TRUE(publisher.WriteTo(4242, w, h, picture));
  uint64_t hash = 0xcbf29ce484222325ull;
  for (uint8_t b : picture) hash = (hash ^ b) * 0x100000001b3ull;
  char expected[96];
  std::snprintf(expected, sizeof expected, "picture 4242 %ux%u %zu %016llx", w, h, picture.size(),
                static_cast<unsigned long long>(hash));
  EXPECT_EQ(reader.ReadLine(), expected);
}

// A writer of alternating uniform pictures as fast as it goes, a reader in another process
// copying as fast as it goes: every copy the reader calls good is one picture.
TEST(SectionTest, AReaderInAnotherProcessNeverAcceptsAMixedPicture) {
  ShareMemVFrame publisher(kSection, kEvent, pellion::kFrameSectionSize);
  const size_t n = 1920 * 1080 * 3 / 2;
  const std::vector<uint8_t> pictures[2] = {std::vector<uint8_t>(n, 0x00),
                                            std::vector<uint8_t>(n, 0xFF)};
  ASSERT_TRUE(publisher.WriteTo(0, 1920, 1080, pictures[0]));
  Reader reader({kSection, kEvent, "stress", "2"});
  ASSERT_EQ(reader.started, platform::SpawnResult::kOk);
  ASSERT_EQ(reader.ReadLine(), "ready");
  // Publish until the reader is done: its own clock bounds the run.
  uint32_t index = 0;
  int code = -1;
  while (platform::WaitForProcess(reader.process.pidfd, reader.process.pid, 0, &code) != 0) {
    ++index;
    ASSERT_TRUE(publisher.WriteTo(index, 1920, 1080, pictures[index & 1]));
  }
  EXPECT_EQ(code, 0);
  const std::string counts = reader.ReadLine();
  long good = -1, torn = -1, unavailable = -1, mixed = -1;
  ASSERT_EQ(std::sscanf(counts.c_str(), "good %ld torn %ld unavailable %ld mixed %ld", &good, &torn,
                        &unavailable, &mixed),
            4)
      << counts;
  std::printf(
      "published %u, good copies %ld, torn caught %ld, unavailable %ld, mixed accepted %ld\n",
      index, good, torn, unavailable, mixed);
  EXPECT_EQ(mixed, 0);
}

TEST(SectionTest, AReaderWithoutAPublisherIsToldSo) {
  Reader reader({"pellion_no_such_section", "pellion_no_such_event", "0"});
  ASSERT_EQ(reader.started, platform::SpawnResult::kOk);
  EXPECT_EQ(reader.ReadLine().rfind("open failed", 0), 0u);
}

// Names the module exports, from its export directory.
std::vector<std::string> ExportedNames(HMODULE module) {
  auto* base = reinterpret_cast<const uint8_t*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::vector<std::string> names;
  if (dir.VirtualAddress == 0) return names;
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  auto* name_rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    names.emplace_back(reinterpret_cast<const char*>(base + name_rvas[i]));
  return names;
}

TEST(ModuleTest, AHostLoadsItRunsTheChannelAndFindsItsLogAndVersion) {
  using NORV::sFileManager::sFileHelper::File;
  EXPECT_EQ(File::GetFileVerInfo(PELLION_MODULE_PATH, "ProductName"), "Pellion");
  EXPECT_EQ(File::GetFileVerInfo(PELLION_MODULE_PATH, "OriginalFilename"), "Pellion.dll");
  EXPECT_EQ(File::GetFileVerInfo(PELLION_MODULE_PATH, "FileVersion"), "1.0.0.0");

  // The real program-data folder of the prefix: C:\ProgramData, as a Windows host has it.
  _putenv_s("NORV_PROGRAMDATA", "");
  _putenv_s("GLOG_encrypt", "0");  // plain text, to read the header
  ASSERT_NE(std::getenv("ProgramData"), nullptr);
  const fs::path logs = fs::path(std::getenv("ProgramData")) / "NORVApp";
  EXPECT_EQ(fs::path(NORV::sFileManager::ProgramDataRoot()), logs.parent_path());
  std::error_code ignored;
  fs::remove_all(logs, ignored);

  HMODULE module = LoadLibraryW(fs::path(PELLION_MODULE_PATH).wstring().c_str());
  ASSERT_NE(module, nullptr) << GetLastError();
  EXPECT_EQ(ExportedNames(module), std::vector<std::string>{"CreatePlugInterface"});
  using Create = IAVStreamInterface* (*)();
  auto create = reinterpret_cast<Create>(
      reinterpret_cast<void*>(GetProcAddress(module, "CreatePlugInterface")));
  ASSERT_NE(create, nullptr);
  IAVStreamInterface* plugin = create();
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(create(), plugin) << "one instance";
  // The channel holds UDP 9111 alone: an earlier test's channel must have let it go.
  ASSERT_TRUE(testing_util::WaitUntil([] { return testing_util::UdpPortIsFree(9111); }));
  EXPECT_EQ(plugin->StartChan(), 1);
  plugin->StopChan();
  EXPECT_EQ(plugin->StartChan(), 1) << "a stopped channel starts again";
  plugin->StopChan();

  std::string header;
  for (const auto& e : fs::directory_iterator(logs, ignored)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("Pellion_", 0) == 0 && e.path().extension() == ".log")
      std::getline(std::ifstream(e.path()), header);
  }
  EXPECT_EQ(header.rfind("Log file created at: ", 0), 0u)
      << "no Pellion_*.log with its header in " << logs.string();
}

}  // namespace
