// The system's ini reader. A relative path would be looked up in the Windows folder, so the
// callers' paths are always full.
#include "platform/profile.h"
#include "platform/win_util.h"

namespace platform {

int GetPrivateProfileIntA(const std::string& section, const std::string& key, int default_value,
                          const std::string& path) {
  // The wide form: the path is UTF-8, which the ANSI one would read in the code page.
  return static_cast<int>(::GetPrivateProfileIntW(
      win::Wide(section).c_str(), win::Wide(key).c_str(), default_value, win::Wide(path).c_str()));
}

}  // namespace platform
