// The ini reader on any file. The first byte picks the section and key looked up; the rest is
// the file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "file/profile.h"
#include "fuzz_common.h"

namespace {

const char* const kSections[] = {"NORV", "norv", "", "a b", "[NORV]", "x"};
const char* const kKeys[] = {"ENCRYPT", "encrypt", "", "k", "ENCRYPT ", "=;"};

const std::string& TempPath() {
  static const std::string path = [] {
    char name[] = "/tmp/pellion_fuzz_ini_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) pellion_fuzz::Fail("mkstemp");
    close(fd);
    return std::string(name);
  }();
  return path;
}

void RemoveTemp() { std::remove(TempPath().c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  pellion_fuzz::QuietLogs();
  TempPath();
  std::atexit(RemoveTemp);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return -1;
  const std::string section = kSections[data[0] % std::size(kSections)];
  const std::string key = kKeys[(data[0] / std::size(kSections)) % std::size(kKeys)];
  FILE* f = std::fopen(TempPath().c_str(), "wb");
  if (f == nullptr) pellion_fuzz::Fail("cannot write the temp file");
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);

  // A value found is the file's, whatever the default; one not found is the default.
  int a = NORV::sFileManager::GetPrivateProfileInt(section, key, -7, TempPath());
  int b = NORV::sFileManager::GetPrivateProfileInt(section, key, 1234567, TempPath());
  FUZZ_CHECK(a == b || (a == -7 && b == 1234567));
  return 0;
}
