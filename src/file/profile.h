// Reading ini files, in the manner of GetPrivateProfileInt.
#pragma once

#include <string>

namespace NORV::sFileManager {

// The leading integer of `key` in `section` of the ini file at `path`; `default_value` when the
// file, section or key is missing or the value does not start with a number. Section and key
// compare case-insensitively; the first match wins.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int default_value,
                         const std::string& path);

}  // namespace NORV::sFileManager
