// A stand-in that kills processes by its own executable name: a sibling started from the same
// file must go, the caller must live. Prints "alive" and exits 0 when both hold.
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "subsystem/ProcessHelper.h"

using NORV::sSubSystem::ProcessHelper;

int main(int argc, char** argv) {
  // The sibling ends by itself after a while, so a failed kill cannot leave it behind.
  if (argc > 1 && strcmp(argv[1], "--sibling") == 0) {
    sleep(30);
    return 0;
  }
  char self[PATH_MAX] = {};
  if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return 2;
  std::string path = self;
  std::string name = path.substr(path.rfind('/') + 1);

  std::string line = ProcessHelper::QuoteArgument(path) + " --sibling";
  platform::DWORD sibling =
      ProcessHelper::CreateProcessW(path.c_str(), line.c_str(), 0, false, nullptr, nullptr, "");
  if (sibling == 0) return 3;
  if (ProcessHelper::KillProcessByName(name.c_str()) != 1) return 4;
  // The sibling was our child: gone means killed and reaped.
  if (access(("/proc/" + std::to_string(sibling)).c_str(), F_OK) == 0) return 5;
  std::printf("alive\n");
  return 0;
}
