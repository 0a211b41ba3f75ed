// Windows only: the system's ini reader.
#pragma once

#include <string>

namespace platform {

int GetPrivateProfileIntA(const std::string& section, const std::string& key, int default_value,
                          const std::string& path);

}  // namespace platform
