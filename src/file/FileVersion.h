// The version strings a module carries (CompanyName, ProductName, ..., FileVersion).
#pragma once

#include <string>

namespace NORV::sFileManager::sFileHelper {

class File {
 public:
  // The string `key` from the version block of the file at `path`; empty, with an ERROR line,
  // when the path or key is empty, the file unreadable, the block absent or the key missing.
  static std::string GetFileVerInfo(const std::string& path, const std::string& key);
};

// The ELF section that holds the block: "Key\0Value\0" pairs.
inline constexpr const char* kVersionSection = ".norv_version";

}  // namespace NORV::sFileManager::sFileHelper
