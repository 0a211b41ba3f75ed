// The system's ini reader. A relative path would be looked up in the Windows folder, so the
// callers' paths are always full.
#include "platform/profile.h"
#include "platform/win_util.h"

namespace platform {

int GetPrivateProfileIntA(const std::string& section, const std::string& key, int default_value,
                          const std::string& path) {
  return static_cast<int>(
      ::GetPrivateProfileIntA(section.c_str(), key.c_str(), default_value, path.c_str()));
}

}  // namespace platform
